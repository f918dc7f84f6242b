// SPDX-License-Identifier: MIT
// The soak's verdicts: from its analysis and what was asked.
#pragma once

#include <string>
#include <vector>

#include "SoakAnalysis.h"

// Every case of the soak, from its analysis and what was asked.
std::vector<SCase> JudgeSoak(const SCheckParams& asked, const SSoakAnalysis& analysis);

// A further policy's clock cases, CPU K in what was asked its first listed CPU: freq-min,
// limit-freq, throttle-onset and throttle-time of its clock alone; each says which CPUs share it.
std::vector<SCase> JudgePolicyClock(const SCheckParams& asked, const SSoakAnalysis& analysis, const std::string& strShared);
