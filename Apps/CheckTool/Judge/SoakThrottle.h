// SPDX-License-Identifier: MIT
// When CPU K's clock fell below its highest, and where the soak stopped being a plain step of load.
#pragma once

#include <string>

#include "SoakData.h"

// When CPU K's clock was first capped below its ceiling, the highest it reached once the load
// began, and for how long: from cpufreq's time_in_state where it counts (it sees changes
// between samples), else from the sampled clock, which alone sees a cap beneath cpufreq (a
// firmware's); with what the kernel says of a cap.
struct SThrottle
{
    bool bKnown = false;  // else strWhy says why nothing could tell
    std::string strWhy;
    tint64 llCeilingKHz = 0;
    double dCeilingAt = 0;    // µs: when the clock first reached its ceiling
    tint64 llRampKHz = -1;    // the lowest clock before that, the governor's ramp; -1: none
    bool bThrottled = false;
    double dOnset = 0;    // µs since the load's start
    double dBelow = 0;    // µs below the ceiling
    tint64 llLowKHz = -1; // the lowest clock after the ceiling was reached; -1 where none was read
    bool bLowStates = false;  // time_in_state saw it
    tint64 llSampledLowKHz = -1;  // and the samples' lowest then
    std::string strOnsetHow;  // which evidence placed the onset, and how
    std::string strSource;
};

// From cpufreq's time_in_state where it counts over the soak's rows, unless the sampled clock,
// whose series over them is clock, saw a cap first; else from the sampled clock; with what the
// kernel says of a cap.
SThrottle FindThrottle(const SBoard& board, const SSoakTrace& trace, SRows rows, const SSeries& clock);

// The throttle onset, or a cooling device leaving state 0 (a fan coming on), whichever came
// first, in µs; HUGE_VAL when neither did. *pstrWhat says which.
double BendStart(const SBoard& board, const SSoakTrace& trace, const SThrottle& th, SRows rows, std::string* pstrWhat);
