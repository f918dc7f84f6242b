// SPDX-License-Identifier: MIT
// The soak's verdicts: from its analysis and what was asked.
#pragma once

#include <string>
#include <vector>

#include "SoakAnalysis.h"

// Every case of the soak, from its analysis and what was asked.
std::vector<SCase> JudgeSoak(const SCheckParams& asked, const SSoakAnalysis& analysis);
