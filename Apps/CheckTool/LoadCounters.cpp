// SPDX-License-Identifier: MIT
// Counts each loaded CPU over the soak: its cycles, its busy time and its tool's time there.
#include "LoadCounters.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "SysfsRead.h"

namespace
{

// A CPU's cycles through the soak, whoever ran there: the clock it really ran. Or why not.
FDHANDLE OpenCycles(int nCPU, tuint64* pqwFirst, SCycles* pCycles)
{
    const std::string strCPU = std::to_string(nCPU);
    FDHANDLE hCycles = CPFSystem::OpenCycleCounter(nCPU);
    const int iErr = errno;
    if (hCycles >= 0 && !CPFSystem::ReadCycleCounter(hCycles, pqwFirst))
    {
        CPFSystem::CloseHandle(hCycles);
        pCycles->strWhyNot = "CPU " + strCPU + "'s cycle counter opened but could not be read";
    }
    else if (hCycles < 0)
    {
        const std::string strParanoid = ReadFirstLine("/proc/sys/kernel/perf_event_paranoid");
        pCycles->strWhyNot = iErr == EACCES || iErr == EPERM
                                  ? "not permitted to count CPU " + strCPU + "'s cycles: perf_event_paranoid is " +
                                        (strParanoid.empty() ? std::string("unknown") : strParanoid) +
                                        " (0 or less allows it, as do root and CAP_PERFMON)"
                              : iErr == ENOSYS ? std::string("this kernel has no perf events")
                              : iErr == ENOENT || iErr == EOPNOTSUPP
                                  ? "no hardware cycle counter here (a virtual machine without a PMU?)"
                              : iErr == ENODEV || iErr == EINVAL
                                  ? "CPU " + strCPU + "'s cycles cannot be counted: it is not online, or has no cycle counter"
                                  : "CPU " + strCPU + "'s cycles cannot be counted: " + std::strerror(iErr);
    }
    return hCycles;
}

void CloseCycles(int nCPU, FDHANDLE& hCycles, tuint64 qwFirst, SCycles* pCycles)
{
    tuint64 qwCyclesLast = 0;
    if (hCycles >= 0)
    {
        pCycles->bRead = CPFSystem::ReadCycleCounter(hCycles, &qwCyclesLast) && qwCyclesLast >= qwFirst;
        pCycles->qwCycles = qwCyclesLast - qwFirst;
        pCycles->strWhyNot = pCycles->bRead ? "" : "CPU " + std::to_string(nCPU) + "'s cycle counter could not be read at the soak's end";
        CPFSystem::CloseHandle(hCycles);
    }
}

} // namespace

void CLoadCounters::Begin(const std::vector<int>& vnLoaded, bool bList, SSoakRun& run)
{
    m_vnLoaded = vnLoaded;
    m_bList = bList;
    run.vLoads.assign(bList ? vnLoaded.size() : 0, SCpuLoad());
    m_vhCycles.assign(vnLoaded.size(), -1);
    m_vqwCyclesFirst.assign(vnLoaded.size(), 0);
    for (size_t i = 0; i < vnLoaded.size(); ++i)
    {
        m_vhCycles[i] = OpenCycles(vnLoaded[i], &m_vqwCyclesFirst[i], bList ? &run.vLoads[i].cycles : &run.cycles);
    }
}

void CLoadCounters::FirstSample(const CSoakSampler& sampler, SSoakRun& run)
{
    CountBusy(sampler, run, false);
    m_qwToolFirstAt = CPFSystem::QueryTickCountNs();
    CountToolTime(run, false);
}

void CLoadCounters::Finish(const CSoakSampler& sampler, SSoakRun& run)
{
    CountBusy(sampler, run, true);
    CountToolTime(run, true);
    for (size_t i = 0; i < m_vnLoaded.size(); ++i)
    {
        CloseCycles(m_vnLoaded[i], m_vhCycles[i], m_vqwCyclesFirst[i], m_bList ? &run.vLoads[i].cycles : &run.cycles);
    }
    if (m_bList && !run.vLoads.empty())
    {
        run.cycles = run.vLoads[0].cycles;
    }
}

// Each loaded CPU's busy time at the soak's first sample and its last, from the sampler's
// reading of /proc/stat then; the difference is kept.
void CLoadCounters::CountBusy(const CSoakSampler& sampler, SSoakRun& run, bool bEnd)
{
    for (size_t i = 0; i < run.vLoads.size(); ++i)
    {
        SCpuLoad& load = run.vLoads[i];
        const tint64 llBusy = sampler.LatestBusy(i);
        const tint64 llTotal = sampler.LatestTotal(i);
        load.nCPU = m_vnLoaded[i];
        const bool bRead = llBusy != kMissing && load.usBusy != kMissing && llTotal >= load.usSpent;
        load.usBusy = !bEnd ? llBusy : bRead ? llBusy - load.usBusy : kMissing;
        load.usSpent = !bEnd ? llTotal : bRead ? llTotal - load.usSpent : kMissing;
    }
}

// The CPU time of the tool's threads pinned to each loaded CPU, all it started included. Its
// span takes in both walks of the tree, whose threads are read one by one: a share over it is
// never more than the tool's.
void CLoadCounters::CountToolTime(SSoakRun& run, bool bEnd)
{
    m_vqwToolFirst.resize(m_vnLoaded.size(), 0);
    for (size_t i = 0; i < m_vnLoaded.size(); ++i)
    {
        SToolTime& tool = m_bList ? run.vLoads[i].tool : run.tool;
        tuint64 qwNow = 0;
        if (!bEnd)
        {
            tool.bRead = CPFSystem::QueryTreeCpuNs(getpid(), m_vnLoaded[i], &m_vqwToolFirst[i]);
            continue;
        }
        tool.bRead = tool.bRead && CPFSystem::QueryTreeCpuNs(getpid(), m_vnLoaded[i], &qwNow) && qwNow >= m_vqwToolFirst[i];
        tool.usTime = static_cast<tint64>((qwNow - m_vqwToolFirst[i]) / 1000);
        tool.usSpan = static_cast<tint64>((CPFSystem::QueryTickCountNs() - m_qwToolFirstAt) / 1000);
    }
    if (m_bList && !run.vLoads.empty())
    {
        run.tool = run.vLoads[0].tool;
    }
}

