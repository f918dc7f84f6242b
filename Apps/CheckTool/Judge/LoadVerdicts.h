// SPDX-License-Identifier: MIT
// The load's verdicts: each tool's summary, workers and stop, each loaded CPU's busy time and
// cycles; with a list of CPUs, a case a CPU and one over them all.
#pragma once

#include <string>
#include <vector>

#include "CaseCatalogue.h"
#include "SoakAnalysis.h"

// The tool's first line; strOnline is read only when it is wrong.
SCase JudgeSummary(const std::string& strSummary, int nCPU, int nThreads, const std::string& strOnline);

// Whether every worker may run on CPU K alone, and last ran there.
SCase JudgePinned(const std::vector<SWorker>& vWorkers, int nCPU, int nThreads);

// How the tool ended after SIGINT.
SCase JudgeStop(const SStop& stop, int nCPU);

// One case a CPU, vPer judged as for that CPU alone and named eOf of "cpuN" now, then eAll,
// which passes where each passed or was skipped, and is skipped where each was. With one CPU,
// vPer's case as it is.
std::vector<SCase> JudgeEach(ECase eAll, ECase eOf, const std::vector<int>& vnCPUs, std::vector<SCase> vPer);

// cpu-busy: CPU K's, or with a list each CPU's and all of them.
std::vector<SCase> JudgeBusy(const SCheckParams& asked, const SSoakAnalysis& a);

// clock-measured: the clock CPU K really ran, or with a list each CPU's.
void JudgeCycles(const SCheckParams& asked, const SSoakAnalysis& a, std::vector<SCase>& vCases);
