// SPDX-License-Identifier: MIT
// OPP_SWEEP's runner: CPU K's policy pinned to each operating point in turn under the load, the
// board sampled there, and the policy put back on every path.
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
};

// Every operating point, lowest first, each held with the load still, running and still again;
// or why nothing was swept.
SSweep RunSweep(const SSweepRig& rig);
