// SPDX-License-Identifier: MIT
// --judge LOG [--until SECONDS]: a stored soak judged again by today's judge and limits.
#pragma once

#include <string>
#include <vector>

#include "CheckOutput.h"

// Judges the soak in the log that vArgs (after --judge) names, its lines to out, and its
// results to strResults where that is not "" (opened once the log is read, and never the log
// itself); the exit status: 0, 1 where a case failed, 2 for a log, an argument or a results
// file that cannot be.
int JudgeStoredSoak(const std::vector<std::string>& vArgs, CCheckOutput& out, const std::string& strResults);
