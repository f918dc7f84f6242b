// SPDX-License-Identifier: MIT
// OPP_SWEEP's runner: a policy pinned to each operating point in turn under the load (with a
// cluster's loaded CPUs brought in one at a time), the board sampled there, and the policy put
// back on every path.
#pragma once

#include <string>

#include "OppSweep.h"
#include "PolicyPin.h"
#include "SoakSampler.h"
#include "ToolSupervisor.h"

// What the sweep runs with: what was asked, the board, the soak's analysis (its meter and its
// zones), and the check's tool, sampler and policy.
struct SSweepRig
{
    const SCheckParams& asked;
    const SBoard& board;
    const SSoakAnalysis& soak;
    CToolSupervisor& tool;
    CSoakSampler& sampler;
    CPolicyPin& policy;
    const std::string& strPolicyWhy;  // why the policy cannot be written; "" where it can
    tuint64 qwStartNs;                // the trace's zero
    // With a list of CPUs: the policy's loaded CPUs, ascending, and their tools' (and the
    // sampler's counters') indices; empty for one CPU, whose tool is the only one.
    std::vector<int> vnBusy = {};
    std::vector<size_t> vTools = {};
    int nPolicyCPU = -1;  // the CPU whose cpufreq files are the policy's: CPU K for one CPU
    int nNameCPU = -1;    // the K its cases name: the policy's first CPU
};

// Every operating point, lowest first, each held with the load still, running (with 1, 2, ...
// of a cluster's loaded CPUs) and still again; or why nothing was swept.
SSweep RunSweep(const SSweepRig& rig);
