// SPDX-License-Identifier: MIT
// When CPU K's clock fell below its highest, and where the soak stopped being a plain step of load.
#pragma once

#include <string>

#include "SoakAnalysis.h"

// From cpufreq's time_in_state where it counts over the soak's rows, else from the sampled
// clock, whose series over them is clock; with what the kernel says of a cap.
SThrottle FindThrottle(const SSoakSetup& setup, const SSoakTrace& trace, SRows rows, const SSeries& clock);

// The throttle onset, or a cooling device leaving state 0 (a fan coming on), whichever came
// first, in µs; HUGE_VAL when neither did. *pstrWhat says which.
double BendStart(const SSoakSetup& setup, const SSoakTrace& trace, const SThrottle& th, SRows rows, std::string* pstrWhat);
