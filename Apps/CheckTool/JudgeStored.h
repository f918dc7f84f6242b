// SPDX-License-Identifier: MIT
// --judge LOG [--until SECONDS]: a stored soak judged again by today's judge and limits.
#pragma once

#include <string>
#include <vector>

#include "CheckOutput.h"

// Judges the soak in the log that vArgs (after --judge) names, its lines to out; the exit
// status: 0, 1 where a case failed, 2 for a log or an argument that cannot be judged.
int JudgeStoredSoak(const std::vector<std::string>& vArgs, CCheckOutput& out);
