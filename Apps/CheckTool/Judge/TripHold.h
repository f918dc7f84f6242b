// SPDX-License-Identifier: MIT
// A zone held at its passive trip point, and the power the board drew meanwhile: what it
// sheds at that temperature, measured rather than projected.
#pragma once

#include <cstddef>
#include <string>

#include "SoakData.h"

// How far from the trip a held zone may read: the step-wise governor lifts its cap below the
// trip less its hysteresis (a few degrees on most boards) and caps again above it.
const tint64 kHoldBelow = 3000;  // m°C
const tint64 kHoldAbove = 1000;  // m°C
// The hold is measured over its later half, and that half holds at least this many samples.
const size_t kHoldLeast = 8;

struct STripHold
{
    bool bHeld = false;
    std::string strWhy;       // why there is no hold, where there is none
    tint64 llTrip = kMissing; // m°C
    tint64 usHeld = 0;        // from the hold's first reading to its last
    size_t nMeasured = 0;     // the meter's readings over its later half
    double dMeanW = 0;        // their mean
    double dSpreadW = 0;      // and standard deviation
    tint64 llLow = kMissing;  // the zone's lowest and highest reading in the hold, m°C
    tint64 llHigh = kMissing;
    tint64 llMean = kMissing;  // and its mean over the later half: a governor holds it below the trip
    std::string strMeter;     // the meter's name
};

// The soak's last stretch in which zone iZone read within the band about llTrip, from when it
// had reached it and the kernel had capped the clock (dCapAt, µs on the trace's clock; HUGE_VAL:
// never), with no drift over its later half beyond the band above the trip; and meter iMeter's
// power over that half.
STripHold FindTripHold(const SSoakTrace& trace, SRows soak, size_t iZone, size_t iMeter, tint64 llTrip, double dCapAt);
