// SPDX-License-Identifier: MIT
// Every verdict of the check: from the soak's analysis, the tool's lines and its workers.
#pragma once

#include <string>
#include <vector>

#include "SoakAnalysis.h"

// Every case of the soak, from its analysis alone.
std::vector<SCase> JudgeSoak(const SSoakSetup& setup, const SSoakAnalysis& analysis);

// The tool's first line; strOnline is read only when it is wrong.
SCase JudgeSummary(const std::string& strSummary, int nCPU, int nThreads, const std::string& strOnline);

// Each worker's Cpus_allowed_list and the CPU it last ran on.
struct SWorker
{
    std::string strAllowed;
    std::string strLastCPU;
};
SCase JudgePinned(const std::vector<SWorker>& vWorkers, int nCPU, int nThreads);

// How the tool ended after SIGINT.
struct SStop
{
    bool bSignalled = false;  // SIGINT was sent while it ran
    bool bKilled = false;     // it outlived the bound
    int iStatus = 0;          // its exit status, 128 + N for signal N
    std::string strLastLine;
    std::string strBound;     // STOP_BOUND as given
    bool bTreeKilled = false; // it ended, but what it started outlived the bound
};
SCase JudgeStop(const SStop& stop, int nCPU);
