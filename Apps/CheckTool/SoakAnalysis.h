// SPDX-License-Identifier: MIT
// One pass from a soak's samples to everything its verdicts need: each series, each zone's
// fit, the throttle, the bend, the meter the thermal resistance divides by.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "SoakData.h"
#include "StepFit.h"

// Rows [iFirst, iEnd) of the trace: the baseline's, or the soak's.
struct SRows
{
    size_t iFirst = 0;
    size_t iEnd = 0;
    size_t Count() const { return iEnd - iFirst; }
};

// One sensor's readings over some rows.
struct SSeries
{
    size_t nGot = 0;
    tint64 llFirst = kMissing;
    tint64 llLast = kMissing;
    tint64 llHigh = kMissing;
    tint64 llLow = kMissing;
    long double ldSum = 0;
    size_t iBack = 0;  // the sample at which a counter first went back; 0: never
    tint64 llBackFrom = 0;
    tint64 llBackTo = 0;
    tint64 usBack = 0;
    tint64 Mean() const;
};

// The least-squares slope of a zone's readings from some time on, in C per µs, and its
// standard error.
struct SSlope
{
    bool bKnown = false;
    double dSlope = 0;
    double dError = 0;
    double dMidT = 0;
};

// What a first-order fit says of a zone, or why it says nothing.
struct SZoneFit
{
    bool bFitted = false;
    std::string strWhy;
    SStepFit fit;          // τ in µs, temperatures in C
    size_t nPoints = 0;
    double dSpan = 0;      // µs from the load's start to the last reading fitted
    double dLast = 0;      // the last reading fitted, C
};

// A zone's reference for its rise and its thermal resistance: the baseline's mean where the
// baseline read it, else its first reading in the soak.
struct SFrom
{
    bool bBaseline = false;
    tint64 llValue = 0;
};

// When CPU's clock first fell below the highest it had in the soak, and for how long it ran
// below: from cpufreq's time_in_state where it counts (it sees changes between samples),
// else from the sampled clock.
struct SThrottle
{
    bool bKnown = false;  // else strWhy says why nothing could tell
    std::string strWhy;
    std::string strTop;   // "1800 MHz"
    bool bThrottled = false;
    double dOnset = 0;    // µs since the load's start
    double dBelow = 0;    // µs below the top clock
    tint64 llLowKHz = -1; // the lowest clock time_in_state saw time at; -1 where it did not count
    std::string strOnsetHow;  // how the onset was placed
    std::string strSource;
};

struct SSensorAnalysis
{
    SSeries soak;
    SSeries base;
    SFrom from;      // a zone's
    SZoneFit fit;    // a zone's, where the soak read it
    SSlope tail;     // a zone's over the soak's last third, every reading: is it still?
    bool bTail = false;
    double dTailSpan = 0;  // µs from the load's start to its last reading
};

// The meter thermal resistance divides by, and what the load added at it.
struct SMeterLoad
{
    int iMeter = -1;  // -1: none, strWhy says why
    std::string strWhy;
    SSeries load;     // its readings in the soak before anything bent the rise
    tint64 llLoad = 0;        // their median: a meter that averages lags the step
    tint64 llResolution = 1;  // the least difference of means it resolves
};

struct SSoakAnalysis
{
    SRows rowsBase;
    SRows rowsSoak;
    tint64 usSoak = 0;  // from the soak's first sample to its last
    // CPU K's busy and total time over the soak, where both ends were read.
    bool bBusy = false;
    tint64 usBusy = 0;
    tint64 usSpent = 0;
    double dBaselineBusy = 0;  // its busy share in the baseline; 0 where it cannot be told
    std::vector<SSensorAnalysis> vSensors;
    SSeries clock;
    SThrottle throttle;
    // Where the soak stopped being a plain step of load, and what bent it; HUGE_VAL: nothing.
    double dBend = 0;
    std::string strBent;
    SMeterLoad meter;
};

SSoakAnalysis AnalyseSoak(const SSoakSetup& setup, const SSoakTrace& trace);

// True once every zone that can be fitted (one at least) is within 0.5 C of where it settles
// and the soak has lasted 3 τ of each; pstrWhy then says so.
bool SoakIsSteady(const SSoakSetup& setup, const SSoakAnalysis& analysis, std::string* pstrWhy);
