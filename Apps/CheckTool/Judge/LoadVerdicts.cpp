// SPDX-License-Identifier: MIT
// Judges the load: each tool's lines, workers and stop, each loaded CPU's busy time and cycles.
#include "LoadVerdicts.h"

#include "CaseCatalogue.h"
#include "NumberText.h"
#include "SysfsText.h"

#include <algorithm>
#include <cstdio>

namespace
{

// A loaded CPU's figures, CPU K's from the analysis where the soak loads one.
SCpuLoad LoadOfK(const SCheckParams& asked, const SSoakAnalysis& a)
{
    SCpuLoad load;
    load.nCPU = asked.nCPU;
    load.usBusy = a.bBusy ? a.usBusy : kMissing;
    load.usSpent = a.bBusy ? a.usSpent : kMissing;
    load.tool = a.tool;
    load.cycles = a.cycles;
    return load;
}

std::vector<SCpuLoad> LoadsOf(const SCheckParams& asked, const SSoakAnalysis& a)
{
    return IsCpuList(asked) ? a.vLoads : std::vector<SCpuLoad>{LoadOfK(asked, a)};
}

SCase BusyOf(const SSoakAnalysis& a, const SCpuLoad& load)
{
    const std::string strCPU = std::to_string(load.nCPU);
    const std::string strSoak = Seconds(a.usSoak);
    const std::string strEnded = a.strEnded.empty() ? "" : "; " + a.strEnded;
    if (a.rowsSoak.Count() == 0)
    {
        return Verdict(ECase::CpuBusy, "", false, "no sample of the soak was kept");
    }
    if (10 * a.usSoak < 9 * a.usPlanned)
    {
        return Verdict(ECase::CpuBusy, "", false, "the soak lasted " + strSoak + " of the " + ShowFixed(a.usPlanned, 6, 0) + " s asked" + strEnded);
    }
    if (load.usBusy == kMissing || load.usSpent <= 0)
    {
        return Verdict(ECase::CpuBusy, "", false, "CPU " + strCPU + " has no /proc/stat line, or no time passed in " + strSoak);
    }
    char sz[96];
    std::snprintf(sz, sizeof(sz), "CPU %s %.1f %% busy over %s", strCPU.c_str(),
                  100.0 * static_cast<double>(load.usBusy) / static_cast<double>(load.usSpent), strSoak.c_str());
    // Busy with the tool's load: a CPU kept busy by something else while the tool idles is
    // no soak, and a load that cannot be told the tool's is not judged its. A tenth of a
    // CPU, not half: a tool that shares CPU K with other work gets its fair share of it.
    // Its whole tree, for a wrapper that does not exec the tool.
    const double dShare = load.tool.bRead && load.tool.usSpan > 0 ? static_cast<double>(load.tool.usTime) / static_cast<double>(load.tool.usSpan) : 0;
    const std::string strTool = load.tool.bRead ? ", " + Printed(1, 100 * dShare) + " % of a CPU the tool's"
                                                : ", but how much of it the tool's could not be read";
    return Verdict(ECase::CpuBusy, "", 100 * load.usBusy >= 98 * load.usSpent && load.tool.bRead && dShare >= 0.1, sz + strTool + strEnded);
}

// The clock a CPU really ran: its cycles over the time it was busy; cpufreq's claim beside
// it for CPU K, whose clock the soak traces.
SCase CyclesOf(const SCheckParams& asked, const SSoakAnalysis& a, const SCpuLoad& load)
{
    const std::string strCPU = std::to_string(load.nCPU);
    const std::string strOf = CpuOf(load.nCPU);
    if (!load.cycles.bRead)
    {
        return Skipped(ECase::ClockMeasured, strOf, load.cycles.strWhyNot);
    }
    const tint64 usBusy = a.rowsSoak.Count() > 1 && load.usBusy != kMissing ? load.usBusy : 0;
    if (usBusy <= 0)
    {
        return Skipped(ECase::ClockMeasured, strOf, "CPU " + strCPU + " was not seen busy, so its cycles say nothing of its clock");
    }
    const double dBusy = static_cast<double>(usBusy) / 1e6;
    const std::string strClaim = load.nCPU != asked.nCPU ? ""
                                 : a.clock.nGot == 0     ? "; cpufreq claims no clock"
                                                         : "; cpufreq's mean claim " + Printed(0, static_cast<double>(a.clock.Mean()) / 1000) + " MHz";
    return Measured(ECase::ClockMeasured, strOf, Printed(0, static_cast<double>(load.cycles.qwCycles) / dBusy / 1e6),
                    ", " + std::to_string(load.cycles.qwCycles) + " cycles over the " + Printed(2, dBusy) + " s CPU " + strCPU +
                        " was busy" + strClaim);
}

} // namespace

std::vector<SCase> JudgeEach(ECase eAll, ECase eOf, const std::vector<int>& vnCPUs, std::vector<SCase> vPer)
{
    if (vnCPUs.size() <= 1 && vPer.size() == 1)
    {
        return vPer;
    }
    std::vector<int> vnFailed;
    std::string strFirst;
    size_t nSkipped = 0;
    for (size_t i = 0; i < vPer.size(); ++i)
    {
        const int nCPU = i < vnCPUs.size() ? vnCPUs[i] : -1;
        vPer[i].strName = CaseName(eOf, CpuOf(nCPU));
        nSkipped += vPer[i].eResult == EResult::Skip ? 1U : 0U;
        if (vPer[i].eResult == EResult::Fail)
        {
            strFirst = vnFailed.empty() ? vPer[i].strDetails : strFirst;
            vnFailed.push_back(nCPU);
        }
    }
    const std::string strCPUs = CpuListText(vnCPUs);
    SCase all = vnFailed.empty() ? Verdict(eAll, "", true, "for each of CPUs " + strCPUs)
                                 : Verdict(eAll, "", false, (vnFailed.size() > 1 ? "not for CPUs " : "not for CPU ") + CpuListText(vnFailed) + " of " + strCPUs + ": " + strFirst);
    // Nothing judged, or fewer cases than CPUs, is not a pass.
    if (vPer.size() != vnCPUs.size())
    {
        all = Verdict(eAll, "", false, std::to_string(vPer.size()) + " judged of CPUs " + strCPUs);
    }
    else if (vnFailed.empty() && nSkipped == vPer.size())
    {
        all = Skipped(eAll, "", "for each of CPUs " + strCPUs);
    }
    vPer.push_back(all);
    return vPer;
}

std::vector<SCase> JudgeBusy(const SCheckParams& asked, const SSoakAnalysis& a)
{
    std::vector<SCase> vPer;
    std::vector<int> vnCPUs;
    for (const SCpuLoad& load : LoadsOf(asked, a))
    {
        vPer.push_back(BusyOf(a, load));
        vnCPUs.push_back(load.nCPU);
    }
    return JudgeEach(ECase::CpuBusy, ECase::CpuBusyOf, IsCpuList(asked) ? asked.vnCPUs : vnCPUs, vPer);
}

void JudgeCycles(const SCheckParams& asked, const SSoakAnalysis& a, std::vector<SCase>& vCases)
{
    for (const SCpuLoad& load : LoadsOf(asked, a))
    {
        vCases.push_back(CyclesOf(asked, a, load));
    }
}

SCase JudgeSummary(const std::string& strSummary, int nCPU, int nThreads, const std::string& strOnline)
{
    const bool bPass = strSummary == "hogspin " + std::to_string(nCPU) + ", count=" + std::to_string(nThreads) + ", ret=1";
    return Verdict(ECase::SummaryRet, "", bPass, (strSummary.empty() ? std::string("no summary line") : Printable(strSummary)) +
                                             (bPass ? "" : "; CPUs online: " + strOnline));
}

SCase JudgePinned(const std::vector<SWorker>& vWorkers, int nCPU, int nThreads)
{
    const std::string strCPU = std::to_string(nCPU);
    const size_t nPinned = static_cast<size_t>(std::count_if(vWorkers.begin(), vWorkers.end(), [&](const SWorker& w) {
        return w.strAllowed == strCPU && w.strLastCPU == strCPU;
    }));
    const size_t nAsked = static_cast<size_t>(nThreads);
    return Verdict(ECase::WorkersPinned, "", vWorkers.size() == nAsked && nPinned == nAsked,
                   std::to_string(nPinned) + " of " + std::to_string(vWorkers.size()) + " workers, " +
                       std::to_string(nThreads) + " asked, on CPU " + strCPU);
}

SCase JudgeStop(const SStop& stop, int nCPU)
{
    std::string strDetail;
    if (stop.bKilled)
    {
        strDetail = "still running " + stop.strBound + " s after SIGINT: killed";
    }
    else if (stop.bTreeKilled)
    {
        strDetail = "status " + std::to_string(stop.iStatus) + ", but what it started was still running " + stop.strBound +
                    " s after SIGINT: killed";
    }
    else if (!stop.bSignalled)
    {
        strDetail = "it had ended before SIGINT, with status " + std::to_string(stop.iStatus);
    }
    else
    {
        strDetail = "status " + std::to_string(stop.iStatus);
    }
    const bool bPass = stop.bSignalled && !stop.bKilled && !stop.bTreeKilled && stop.iStatus == 0 &&
                       stop.strLastLine == "hogspin " + std::to_string(nCPU) + ", Exit!";
    return Verdict(ECase::StopSigint, "", bPass, strDetail + ", last line: " + Printable(stop.strLastLine));
}
