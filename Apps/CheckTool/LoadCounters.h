// SPDX-License-Identifier: MIT
// Each loaded CPU counted over the soak: its cycles (the clock it really ran), its busy time,
// and the time its tool's threads ran there.
#pragma once

#include <vector>

#include "../../Common/Layer2_Platform/Linux_ARM_glibc/PFSystem.h"
#include "SoakData.h"
#include "SoakSampler.h"

class CLoadCounters
{
public:
    CLoadCounters() = default;
    CLoadCounters(const CLoadCounters&) = delete;
    CLoadCounters& operator=(const CLoadCounters&) = delete;

    // Before the soak's first sample: each CPU's cycle counter, or why there is none. With a
    // list (bList), each CPU's counts go to its load in run.vLoads; else CPU K's to the run's.
    void Begin(const std::vector<int>& vnLoaded, bool bList, SSoakRun& run);

    // At the soak's first sample, and after its last: the counts between them are kept.
    void FirstSample(const CSoakSampler& sampler, SSoakRun& run);
    void Finish(const CSoakSampler& sampler, SSoakRun& run);

private:
    void CountBusy(const CSoakSampler& sampler, SSoakRun& run, bool bEnd);
    void CountToolTime(SSoakRun& run, bool bEnd);

    std::vector<int> m_vnLoaded;
    bool m_bList = false;
    std::vector<FDHANDLE> m_vhCycles;
    std::vector<tuint64> m_vqwCyclesFirst;
    std::vector<tuint64> m_vqwToolFirst;
    tuint64 m_qwToolFirstAt = 0;
};
