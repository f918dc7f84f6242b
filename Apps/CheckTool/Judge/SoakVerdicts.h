// SPDX-License-Identifier: MIT
// Every verdict of the check: from the soak's analysis and what was asked, the tool's lines and its workers.
#pragma once

#include <string>
#include <vector>

#include "SoakAnalysis.h"

// Every case of the soak, from its analysis and what was asked.
std::vector<SCase> JudgeSoak(const SCheckParams& asked, const SSoakAnalysis& analysis);

// The tool's first line; strOnline is read only when it is wrong.
SCase JudgeSummary(const std::string& strSummary, int nCPU, int nThreads, const std::string& strOnline);

// Whether every worker may run on CPU K alone, and last ran there.
SCase JudgePinned(const std::vector<SWorker>& vWorkers, int nCPU, int nThreads);

// How the tool ended after SIGINT.
SCase JudgeStop(const SStop& stop, int nCPU);
