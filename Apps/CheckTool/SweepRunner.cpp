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
    const std::string strCPU = "CPU " + std::to_string(r.asked.nCPU);
    return r.soak.meter.iMeter < 0 ? "needs a power meter: " + r.soak.meter.strWhy
           : r.board.vllOppKHz.empty()
               ? strCPU + " has no table of operating points (scaling_available_frequencies and time_in_state are " +
                     r.board.strStatesWhy + ")"
           : !r.board.strCurFreqWhy.empty() ? "scaling_cur_freq is " + r.board.strCurFreqWhy + ": no clock can be confirmed"
           : !r.strPolicyWhy.empty()        ? r.strPolicyWhy
           : r.tool.Reaped()                ? "the tool has ended"
                                            : "";
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

// nSamples into the sweep's trace, an INTERVAL apart from now.
void SampleSweep(const SSweepRig& r, SSoakTrace& trace, size_t nSamples, SRows& rows)
{
    const tuint64 qwFrom = CPFSystem::QueryTickCountNs();
    rows.iFirst = trace.nSamples;
    for (size_t k = 1; k <= nSamples; ++k)
    {
        while (!r.tool.WaitUntil(qwFrom + k * static_cast<tuint64>(r.asked.usInterval) * 1000U))
        {
        }
        r.sampler.TakeSample(r.board.vSensors, trace, r.qwStartNs);
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
    if (pt.strNotHeld.empty())
    {
        r.tool.HoldStill(true);
        SampleSweep(r, trace, r.asked.nOppRest, pt.rest);
        r.tool.HoldStill(false);
        SampleSweep(r, trace, r.asked.nOppHold, pt.load);
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
    if (s.strWhy.empty() &&
        !s.trace.Reserve(vllOpps.size() * (2 * r.asked.nOppRest + r.asked.nOppHold), r.board.vSensors.size(), r.sampler.StateCount()))
    {
        s.strWhy = "its samples would take more than 256 MiB: a longer INTERVAL takes fewer";
    }
    if (!s.strWhy.empty())
    {
        return s;
    }
    s.iMeter = r.soak.meter.iMeter;
    s.strCPU = std::to_string(r.asked.nCPU);
    s.strMeter = r.board.vSensors[static_cast<size_t>(s.iMeter)].strName;
    s.iZone = ChooseLeakZone(r.soak);
    s.strZone = s.iZone < 0 ? "" : r.board.vSensors[static_cast<size_t>(s.iZone)].strName;
    s.vllOppKHz = vllOpps;
    s.trace.vllStateKHz = r.sampler.StateClocks();
    s.strBefore = r.policy.Before();
    s.llDtCoefficient = ReadDtCoefficient(r.asked.strSysfs, r.asked.nCPU);
    CPolicyPin& policy = r.policy;
    const std::string strPolicy = "hogspin-check: CPU " + std::to_string(r.asked.nCPU) + "'s policy ";
    r.tool.SetUndo([&policy, strPolicy] {
        const std::string strWhy = policy.Restore();
        SayError(strPolicy + (strWhy.empty() ? "restored as it was before the sweep\n" : "not restored: " + strWhy + "\n"));
    });
    for (auto it = vllOpps.rbegin(); it != vllOpps.rend(); ++it)
    {
        SSweepPoint pt;
        pt.llKHz = *it;
        pt.llMicroVolts = ReadOppMicroVolts(r.asked.strSysfs, r.asked.nCPU, pt.llKHz, &s.strVolts);
        HoldPoint(r, s.trace, pt);
        s.vPoints.push_back(pt);
    }
    r.tool.SetUndo(nullptr);
    s.strRestore = r.policy.Restore();
    return s;
}
