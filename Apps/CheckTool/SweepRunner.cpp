// SPDX-License-Identifier: MIT
// OPP_SWEEP's runner: CPU K's policy pinned to each operating point in turn under the load, the
// board sampled there, and the policy put back on every path.
#include "SweepRunner.h"

#include <algorithm>

#include "NumberText.h"

namespace
{

// Why the sweep cannot run on this board, or "".
std::string WhyNoSweep(const SSweepRig& r)
{
    const std::string strCPU = "CPU " + std::to_string(r.nPolicyCPU);
    std::string strEnded = r.vTools.empty() && r.tool.Reaped() ? "the tool has ended" : "";
    for (size_t i = 0; i < r.vTools.size() && strEnded.empty(); ++i)
    {
        strEnded = r.tool.Reaped(r.vTools[i]) ? "the tool for CPU " + std::to_string(r.vnBusy[i]) + " has ended" : "";
    }
    return r.soak.meter.iMeter < 0 ? "needs a power meter: " + r.soak.meter.strWhy
           : r.board.vllOppKHz.empty()
               ? strCPU + " has no table of operating points (scaling_available_frequencies and time_in_state are " +
                     r.board.strStatesWhy + ")"
           : !r.board.strCurFreqWhy.empty() ? "scaling_cur_freq is " + r.board.strCurFreqWhy + ": no clock can be confirmed"
           : !r.strPolicyWhy.empty()        ? r.strPolicyWhy
                                            : strEnded;
}

// Until scaling_cur_freq shows the clock asked, up to a second or two INTERVALs: "" or what it showed.
std::string ConfirmClock(const SSweepRig& r, tint64 llKHz)
{
    const tuint64 qwFrom = CPFSystem::QueryTickCountNs();
    const tuint64 qwBound = qwFrom + std::max<tuint64>(1000000000U, 2000U * static_cast<tuint64>(r.asked.usInterval));
    for (;;)
    {
        const tint64 llRead = r.policy.ReadClock();
        const tuint64 qwNow = CPFSystem::QueryTickCountNs();
        if (llRead != kMissing && HoldsClock(llRead, llKHz, r.board.vllOppKHz))
        {
            return "";
        }
        if (qwNow >= qwBound)
        {
            return "asked for " + ShowMHz(llKHz) + ", scaling_cur_freq read " +
                   (llRead == kMissing ? std::string("nothing") : ShowMHz(llRead)) + " after " +
                   ShowSeconds(static_cast<double>(qwNow - qwFrom) / 1000) + " s";
        }
        r.tool.WaitUntil(std::min(qwBound, qwNow + 20000000U));
    }
}

// nSamples into the sweep's trace, an INTERVAL apart from now; a cluster's rows hold the busy
// time of its loaded CPU iBusy, the last brought in.
void SampleSweep(const SSweepRig& r, SSoakTrace& trace, size_t nSamples, SRows& rows, size_t iBusy = 0)
{
    const tuint64 qwFrom = CPFSystem::QueryTickCountNs();
    rows.iFirst = trace.nSamples;
    for (size_t k = 1; k <= nSamples; ++k)
    {
        while (!r.tool.WaitUntil(qwFrom + k * static_cast<tuint64>(r.asked.usInterval) * 1000U))
        {
        }
        r.sampler.TakeSample(r.board.vSensors, trace, r.qwStartNs);
        // A cluster's row holds its policy's clock, and the busy time of the CPU last brought
        // in: the judge wants it busy under the load.
        const size_t iRow = trace.nSamples - 1;
        if (!r.vTools.empty())
        {
            trace.vllKHz[iRow] = r.policy.ReadClock();
            trace.vllBusy[iRow] = r.sampler.LatestBusy(r.vTools[iBusy]);
            trace.vllTotal[iRow] = r.sampler.LatestTotal(r.vTools[iBusy]);
        }
    }
    rows.iEnd = trace.nSamples;
}

// One operating point: the policy pinned to it and the clock confirmed; the load held still
// (the board's power at that clock without it), running, and held still again as the die
// cools through the temperatures the load brought.
void HoldPoint(const SSweepRig& r, SSoakTrace& trace, SSweepPoint& pt)
{
    pt.strNotHeld = r.policy.Pin(pt.llKHz);
    pt.strNotHeld = pt.strNotHeld.empty() ? ConfirmClock(r, pt.llKHz) : pt.strNotHeld;
    for (size_t j = 0; j < r.vTools.size() && pt.strNotHeld.empty(); ++j)
    {
        pt.strNotHeld = r.tool.Reaped(r.vTools[j]) ? "the tool for CPU " + std::to_string(r.vnBusy[j]) + " ended during the sweep" : "";
    }
    if (pt.strNotHeld.empty() && r.vTools.empty())
    {
        r.tool.HoldStill(true);
        SampleSweep(r, trace, r.asked.nOppRest, pt.rest);
        r.tool.HoldStill(false);
        SampleSweep(r, trace, r.asked.nOppHold, pt.load);
        r.tool.HoldStill(true);
        SampleSweep(r, trace, r.asked.nOppRest, pt.after);
        r.tool.HoldStill(false);
        pt.vBusy = {pt.load};
    }
    else if (pt.strNotHeld.empty())
    {
        // Every tool stopped, the other policies' too; then the cluster's brought in one at a
        // time, each continued where it was stopped, still pinned: no tool is started again.
        r.tool.HoldStill(true);
        SampleSweep(r, trace, r.asked.nOppRest, pt.rest);
        pt.vBusy.resize(r.vTools.size());
        for (size_t k = 0; k < r.vTools.size() && pt.strNotHeld.empty(); ++k)
        {
            r.tool.HoldStill(false, r.vTools[k]);
            SampleSweep(r, trace, r.asked.nOppHold, pt.vBusy[k], k);
            // A tool brought in earlier that has ended since no longer loads its CPU.
            for (size_t j = 0; j <= k && pt.strNotHeld.empty(); ++j)
            {
                pt.strNotHeld = r.tool.Reaped(r.vTools[j]) ? "the tool for CPU " + std::to_string(r.vnBusy[j]) + " ended during the sweep" : "";
            }
        }
        pt.load = pt.vBusy.back();
        r.tool.HoldStill(true);
        SampleSweep(r, trace, r.asked.nOppRest, pt.after);
        r.tool.HoldStill(false);
    }
}

} // namespace

SSweep RunSweep(const SSweepRig& r)
{
    SSweep s;
    const std::vector<tint64>& vllOpps = r.board.vllOppKHz;
    s.strWhy = WhyNoSweep(r);
    const size_t nBusy = std::max<size_t>(1, r.vTools.size());
    if (s.strWhy.empty() &&
        !s.trace.Reserve(vllOpps.size() * (2 * r.asked.nOppRest + nBusy * r.asked.nOppHold), r.board.vSensors.size(), r.sampler.StateCount()))
    {
        s.strWhy = "its samples would take more than 256 MiB: a longer INTERVAL takes fewer";
    }
    if (!s.strWhy.empty())
    {
        return s;
    }
    s.iMeter = r.soak.meter.iMeter;
    s.strCPU = std::to_string(r.nNameCPU);
    s.vnBusy = r.vTools.empty() ? std::vector<int>{r.nPolicyCPU} : r.vnBusy;
    s.strMeter = r.board.vSensors[static_cast<size_t>(s.iMeter)].strName;
    s.iZone = ChooseLeakZone(r.soak);
    s.strZone = s.iZone < 0 ? "" : r.board.vSensors[static_cast<size_t>(s.iZone)].strName;
    s.vllOppKHz = vllOpps;
    s.trace.vllStateKHz = r.sampler.StateClocks();
    s.strBefore = r.policy.Before();
    s.llDtCoefficient = ReadDtCoefficient(r.asked.strSysfs, r.nPolicyCPU);
    CPolicyPin& policy = r.policy;
    const std::string strPolicy = "hogspin-check: CPU " + std::to_string(r.nPolicyCPU) + "'s policy ";
    r.tool.SetUndo([&policy, strPolicy] {
        const std::string strWhy = policy.Restore();
        SayError(strPolicy + (strWhy.empty() ? "restored as it was before the sweep\n" : "not restored: " + strWhy + "\n"));
    });
    for (auto it = vllOpps.rbegin(); it != vllOpps.rend(); ++it)
    {
        SSweepPoint pt;
        pt.llKHz = *it;
        pt.llMicroVolts = ReadOppMicroVolts(r.asked.strSysfs, r.nPolicyCPU, pt.llKHz, &s.strVolts);
        HoldPoint(r, s.trace, pt);
        s.vPoints.push_back(pt);
    }
    r.tool.SetUndo(nullptr);
    s.strRestore = r.policy.Restore();
    return s;
}
