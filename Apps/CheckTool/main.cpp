// SPDX-License-Identifier: MIT
// hogspin-check: loads one CPU with hogspin through a soak, traces the board's sensors, judges it.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "CheckOutput.h"
#include "OppSweep.h"
#include "PolicyPin.h"
#include "SoakAnalysis.h"
#include "SoakLines.h"
#include "SoakParams.h"
#include "SoakSampler.h"
#include "SoakVerdicts.h"
#include "ToolSupervisor.h"

namespace
{

// Everything one run of the check holds, from its parameters to its verdicts.
struct SCheck
{
    CToolSupervisor tool;
    CCheckOutput out{tool};
    SCheckParams params;
    SSoakSetup setup;
    SSoakTrace trace;
    CSoakSampler sampler;
    tuint64 qwStartNs = 0;  // when the tool starts: the baseline lies before it
    FDHANDLE hCycles = -1;  // CPU K's cycle counter, where it can be read
    tuint64 qwCyclesFirst = 0;
    SSoakAnalysis analysis;
    CPolicyPin policy;        // OPP_SWEEP's: CPU K's policy as it was before the soak
    std::string strPolicyWhy;  // why it cannot be written
    SSweep sweep;
};

// Standard input, output and error open, so that no file opened later takes their numbers:
// a closed output stays unwritable, a closed error goes nowhere.
void HoldStandardDescriptors()
{
    const int aFlags[] = {O_RDONLY, O_RDONLY, O_WRONLY};
    for (int fd = 0; fd < 3; ++fd)
    {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
        {
            const int fdNull = open("/dev/null", aFlags[fd]);
            if (fdNull >= 0 && fdNull != fd)
            {
                dup2(fdNull, fd);
                close(fdNull);
            }
        }
    }
}

// --help, --results, then the parameters; a bad one fails every case before anything starts.
void ReadParameters(SCheck& c, int argc, char** argv)
{
    // The signals first: from here on, one that comes is taken at a wait, never lost.
    const bool bOpen = c.tool.Open();
    const int iOpenErr = errno;
    std::vector<std::string> vArgs(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (!vArgs.empty() && (vArgs[0] == "--help" || vArgs[0] == "-h"))
    {
        c.out.Say(kCheckHelp);
        std::exit(0);
    }
    if (vArgs.size() >= 2 && vArgs[0] == "--results")
    {
        const std::string strWhy = c.out.OpenResults(vArgs[1]);
        if (!strWhy.empty())
        {
            c.out.FailAll(2, "cannot check: cannot write the results to '" + vArgs[1] + "': " + strWhy);
        }
        vArgs.erase(vArgs.begin(), vArgs.begin() + 2);
    }
    if (!bOpen)
    {
        c.out.FailAll(1, std::string("cannot check: no signal or timer descriptor: ") + std::strerror(iOpenErr));
    }
    std::string strWhy;
    if (!ParseParams(vArgs, [](const char* pszName) -> const char* { return std::getenv(pszName); }, &c.params, &strWhy))
    {
        c.out.FailAll(2, "cannot check: " + strWhy);
    }
    const std::string strStartable = CToolSupervisor::WhyNotStartable(c.params.strHogspin);
    if (!strStartable.empty())
    {
        c.out.FailAll(1, "cannot start '" + c.params.strHogspin + "': " + strStartable);
    }
    c.tool.SetStopBound(c.params.usStopBound, ShowFixed(c.params.usStopBound, 6, 0));
    c.setup = MakeSetup(c.params);
}

// The board's sensors, opened for the soak, and the lines that say which board this is and
// what the trace holds.
void DescribeBoard(SCheck& c)
{
    c.setup.vSensors = NameSensors(FindSensors(c.params.strSysfs, c.params.nCPU));
    if (!c.params.strPowerMeter.empty())
    {
        std::string strMeters;
        bool bFound = false;
        for (const SSensor& sensor : c.setup.vSensors)
        {
            if (sensor.eKind == ESensorKind::Power)
            {
                bFound = bFound || sensor.strName == c.params.strPowerMeter;
                strMeters += (strMeters.empty() ? "" : ", ") + sensor.strName;
            }
        }
        if (!bFound)
        {
            c.out.FailAll(2, "cannot check: POWER_METER=" + c.params.strPowerMeter + " names no power meter of this board, which has " +
                                 (strMeters.empty() ? std::string("none") : strMeters));
        }
    }
    c.sampler.Open(c.params.strSysfs, c.params.nCPU, c.setup);
    const size_t nRows = c.params.nBaseline + c.params.nSamples + 1;
    if (!c.trace.Reserve(nRows, c.setup.vSensors.size(), c.sampler.StateCount()))
    {
        c.out.FailAll(2, "cannot check: " + std::to_string(nRows) + " samples of " +
                             std::to_string(4 + c.setup.vSensors.size() + c.sampler.StateCount()) +
                             " figures each would take more than 256 MiB: a longer INTERVAL takes fewer");
    }
    c.trace.nBaseline = c.params.nBaseline;
    c.trace.vllStateKHz = c.sampler.StateClocks();
    // The bounds the sweep puts back, read before the soak's heat can have capped the maximum.
    c.strPolicyWhy = c.params.bOppSweep ? c.policy.Open(c.params.strSysfs, c.params.nCPU) : "";
    utsname uts;
    const bool bUname = uname(&uts) == 0;
    c.out.Say(BoardLine(ReadBoardModel(c.params.strSysfs), bUname ? uts.release : "", bUname ? uts.nodename : "", c.params.strBoard));
    c.out.Say(TraceHeader(c.setup));
    c.out.Say(LimitsLine(c.setup));
}

void Sample(SCheck& c)
{
    c.sampler.TakeSample(c.setup, c.trace, c.qwStartNs);
    c.out.Say(c.sampler.Line(), c.sampler.FormatLastLine(c.setup, c.trace));
}

// The board at rest, at the soak's INTERVAL, before the tool starts at t = 0.
void TakeBaseline(SCheck& c)
{
    const tuint64 qwIntervalNs = static_cast<tuint64>(c.params.usInterval) * 1000U;
    c.qwStartNs = CPFSystem::QueryTickCountNs() + c.params.nBaseline * qwIntervalNs;
    for (size_t k = 0; k < c.params.nBaseline; ++k)
    {
        while (!c.tool.WaitUntil(c.qwStartNs - (c.params.nBaseline - k) * qwIntervalNs))
        {
        }
        Sample(c);
    }
    while (!c.tool.WaitUntil(c.qwStartNs))
    {
    }
}

// The tool, and its summary: its first line, up to 10 s for it while it runs.
void StartTool(SCheck& c)
{
    const std::string strHogspin = c.params.strHogspin;
    const std::string strWhy = c.tool.Start({strHogspin, std::to_string(c.params.nCPU), std::to_string(c.params.nThreads)});
    if (!strWhy.empty())
    {
        c.out.FailAll(1, "cannot start '" + strHogspin + "': " + strWhy);
    }
    c.tool.WaitForFirstLine(c.qwStartNs + 10000000000U);
    if (c.tool.FirstLine().empty() && c.tool.Reaped())
    {
        const std::string strErr = Printable(c.tool.ErrorLine());
        c.out.FailAll(1, "cannot start '" + strHogspin + "': it ended at once with status " + std::to_string(c.tool.Status()) +
                             (strErr.empty() ? "" : ": " + strErr));
    }
    if (!c.tool.HasFirstLine() && !c.tool.Reaped())
    {
        c.out.FailAll(1, "cannot check: '" + strHogspin + "' printed no summary line in 10 s");
    }
    const std::string strOnline = ReadFirstLine("/sys/devices/system/cpu/online");
    c.out.Report(JudgeSummary(c.tool.FirstLine(), c.params.nCPU, c.params.nThreads, strOnline.empty() ? "unknown" : strOnline));
}

// CPU K's cycles through the soak, whoever ran there: the clock it really ran. Or why not.
void OpenCycles(SCheck& c)
{
    const std::string strCPU = std::to_string(c.params.nCPU);
    c.hCycles = CPFSystem::OpenCycleCounter(c.params.nCPU);
    const int iErr = errno;
    if (c.hCycles >= 0 && !CPFSystem::ReadCycleCounter(c.hCycles, &c.qwCyclesFirst))
    {
        CPFSystem::CloseHandle(c.hCycles);
        c.setup.strNoCycles = "CPU " + strCPU + "'s cycle counter opened but could not be read";
    }
    else if (c.hCycles < 0)
    {
        const std::string strParanoid = ReadFirstLine("/proc/sys/kernel/perf_event_paranoid");
        c.setup.strNoCycles = iErr == EACCES || iErr == EPERM
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
}

void CloseCycles(SCheck& c)
{
    tuint64 qwCyclesLast = 0;
    if (c.hCycles >= 0)
    {
        c.setup.bCycles = CPFSystem::ReadCycleCounter(c.hCycles, &qwCyclesLast) && qwCyclesLast >= c.qwCyclesFirst;
        c.setup.qwCycles = qwCyclesLast - c.qwCyclesFirst;
        c.setup.strNoCycles = c.setup.bCycles ? "" : "CPU " + std::to_string(c.params.nCPU) + "'s cycle counter could not be read at the soak's end";
        CPFSystem::CloseHandle(c.hCycles);
    }
}

// The soak starts at its first sample, taken as soon as the summary has confirmed the load;
// one follows every INTERVAL, to fixed deadlines from that sample's own time: nothing before
// it (a slow start, the walk of a large tree on a slow board) can shorten the soak, only end
// it later. UNTIL_STEADY looks for a steady board whenever the soak has grown a twentieth.
void RunSoak(SCheck& c)
{
    OpenCycles(c);
    const tuint64 qwIntervalNs = static_cast<tuint64>(c.params.usInterval) * 1000U;
    const size_t iFirst = c.trace.nSamples;
    Sample(c);
    const tint64 usFirst = c.trace.vllTimeUs[iFirst];
    const tuint64 qwFirstNs = c.qwStartNs + static_cast<tuint64>(usFirst) * 1000U;
    // The CPU time over the soak of the tool's threads pinned to CPU K, all it started
    // included: the load it put there. Its span takes in both walks of the tree, whose
    // threads are read one by one: a share over it is never more than the tool's.
    tuint64 qwToolFirst = 0;
    const tuint64 qwToolFirstAt = CPFSystem::QueryTickCountNs();
    const bool bToolFirst = CPFSystem::QueryTreeCpuNs(getpid(), c.params.nCPU, &qwToolFirst);
    c.tool.HoldTree();
    size_t nNextLook = 10;
    SSteadyWatch watch;
    for (size_t k = 1; k <= c.params.nSamples; ++k)
    {
        while (!c.tool.WaitUntil(qwFirstNs + k * qwIntervalNs))
        {
        }
        Sample(c);
        std::string strSteady;
        if (c.params.bUntilSteady && k >= nNextLook && k < c.params.nSamples)
        {
            nNextLook = k + std::max<size_t>(1, k / 20);
            if (SoakIsSteady(c.setup, AnalyseSoak(c.setup, c.trace), &watch, &strSteady))
            {
                c.setup.strEnded = "ended at " + ShowFixed((c.trace.vllTimeUs[c.trace.nSamples - 1] - usFirst) / 1000, 3, 1) +
                                   " s of the " + ShowFixed(c.params.usSettle, 6, 0) + " s asked, when steady: " + strSteady;
                c.setup.usAsked = static_cast<tint64>(k) * c.params.usInterval;
                break;
            }
        }
    }
    tuint64 qwToolLast = 0;
    c.setup.bToolTime = bToolFirst && CPFSystem::QueryTreeCpuNs(getpid(), c.params.nCPU, &qwToolLast) && qwToolLast >= qwToolFirst;
    c.setup.usToolTime = static_cast<tint64>((qwToolLast - qwToolFirst) / 1000);
    c.setup.usToolSpan = static_cast<tint64>((CPFSystem::QueryTickCountNs() - qwToolFirstAt) / 1000);
    c.tool.HoldTree();
    if (c.params.bUntilSteady && c.setup.strEnded.empty())
    {
        c.setup.strEnded = "not steady by SETTLE";
    }
    CloseCycles(c);
}

// The soak's analysis, once, for its fit lines and its verdicts.
void JudgeTheSoak(SCheck& c)
{
    c.analysis = AnalyseSoak(c.setup, c.trace);
    c.out.Say(FitLines(c.setup, c.analysis));
    c.out.Report(JudgePinned(c.tool.ReadWorkers(), c.params.nCPU, c.params.nThreads));
    for (const SCase& soakCase : JudgeSoak(c.setup, c.analysis))
    {
        c.out.Report(soakCase);
    }
}

// Why the sweep cannot run on this board, or "".
std::string WhyNoSweep(SCheck& c)
{
    const std::string strCPU = "CPU " + std::to_string(c.params.nCPU);
    return c.analysis.meter.iMeter < 0 ? "needs a power meter: " + c.analysis.meter.strWhy
           : c.setup.vllOppKHz.empty()
               ? strCPU + " has no table of operating points (scaling_available_frequencies and time_in_state are " +
                     c.setup.strStatesWhy + ")"
           : !c.setup.strCurFreqWhy.empty() ? "scaling_cur_freq is " + c.setup.strCurFreqWhy + ": no clock can be confirmed"
           : !c.strPolicyWhy.empty()       ? c.strPolicyWhy
           : c.tool.Reaped()               ? "the tool has ended"
                                           : "";
}

// Until scaling_cur_freq shows the clock asked, up to a second or two INTERVALs: "" or what it showed.
std::string ConfirmClock(SCheck& c, tint64 llKHz)
{
    const tuint64 qwFrom = CPFSystem::QueryTickCountNs();
    const tuint64 qwBound = qwFrom + std::max<tuint64>(1000000000U, 2000U * static_cast<tuint64>(c.params.usInterval));
    for (;;)
    {
        const tint64 llRead = c.policy.ReadClock();
        const tuint64 qwNow = CPFSystem::QueryTickCountNs();
        if (llRead != kMissing && HoldsClock(llRead, llKHz, c.setup.vllOppKHz))
        {
            return "";
        }
        if (qwNow >= qwBound)
        {
            return "asked for " + ShowFixed(llKHz, 3, 0) + " MHz, scaling_cur_freq read " +
                   (llRead == kMissing ? std::string("nothing") : ShowFixed(llRead, 3, 0) + " MHz") + " after " +
                   ShowSeconds(static_cast<double>(qwNow - qwFrom) / 1000) + " s";
        }
        c.tool.WaitUntil(std::min(qwBound, qwNow + 20000000U));
    }
}

// nSamples into the sweep's trace, an INTERVAL apart from now.
void SampleSweep(SCheck& c, size_t nSamples, SRows& rows)
{
    const tuint64 qwFrom = CPFSystem::QueryTickCountNs();
    rows.iFirst = c.sweep.trace.nSamples;
    for (size_t k = 1; k <= nSamples; ++k)
    {
        while (!c.tool.WaitUntil(qwFrom + k * static_cast<tuint64>(c.params.usInterval) * 1000U))
        {
        }
        c.sampler.TakeSample(c.setup, c.sweep.trace, c.qwStartNs);
    }
    rows.iEnd = c.sweep.trace.nSamples;
}

// One operating point: the policy pinned to it and the clock confirmed; the load held still
// (the board's power at that clock without it), running, and held still again as the die
// cools through the temperatures the load brought.
void HoldPoint(SCheck& c, SSweepPoint& pt)
{
    pt.strNotHeld = c.policy.Pin(pt.llKHz);
    pt.strNotHeld = pt.strNotHeld.empty() ? ConfirmClock(c, pt.llKHz) : pt.strNotHeld;
    if (pt.strNotHeld.empty())
    {
        c.tool.HoldStill(true);
        SampleSweep(c, c.params.nOppRest, pt.rest);
        c.tool.HoldStill(false);
        SampleSweep(c, c.params.nOppHold, pt.load);
        c.tool.HoldStill(true);
        SampleSweep(c, c.params.nOppRest, pt.after);
        c.tool.HoldStill(false);
    }
}

// OPP_SWEEP: CPU K's operating points, lowest first, under the load; the policy put back as it
// was on every path, a signal's and a lost output's included.
void SweepClocks(SCheck& c)
{
    SSweep& s = c.sweep;
    const std::vector<tint64>& vllOpps = c.setup.vllOppKHz;
    s.strWhy = WhyNoSweep(c);
    if (s.strWhy.empty() &&
        !s.trace.Reserve(vllOpps.size() * (2 * c.params.nOppRest + c.params.nOppHold), c.setup.vSensors.size(), c.sampler.StateCount()))
    {
        s.strWhy = "its samples would take more than 256 MiB: a longer INTERVAL takes fewer";
    }
    if (s.strWhy.empty())
    {
        s.iMeter = c.analysis.meter.iMeter;
        s.strCPU = std::to_string(c.params.nCPU);
        s.strMeter = c.setup.vSensors[static_cast<size_t>(s.iMeter)].strName;
        s.iZone = ChooseLeakZone(c.setup, c.analysis);
        s.strZone = s.iZone < 0 ? "" : c.setup.vSensors[static_cast<size_t>(s.iZone)].strName;
        s.vllOppKHz = vllOpps;
        s.trace.vllStateKHz = c.sampler.StateClocks();
        s.strBefore = c.policy.Before();
        s.llDtCoefficient = ReadDtCoefficient(c.params.strSysfs, c.params.nCPU);
        CPolicyPin& policy = c.policy;
        const std::string strPolicy = "hogspin-check: CPU " + std::to_string(c.params.nCPU) + "'s policy ";
        c.tool.SetUndo([&policy, strPolicy] {
            const std::string strWhy = policy.Restore();
            SayError(strPolicy + (strWhy.empty() ? "restored as it was before the sweep\n" : "not restored: " + strWhy + "\n"));
        });
        for (auto it = vllOpps.rbegin(); it != vllOpps.rend(); ++it)
        {
            SSweepPoint pt;
            pt.llKHz = *it;
            pt.llMicroVolts = ReadOppMicroVolts(c.params.strSysfs, c.params.nCPU, pt.llKHz, &s.strVolts);
            HoldPoint(c, pt);
            s.vPoints.push_back(pt);
        }
        c.tool.SetUndo(nullptr);
        s.strRestore = c.policy.Restore();
    }
    const SSweepAnalysis a = AnalyseSweep(s);
    for (const SCase& sweepCase : JudgeSweep(c.params.nCPU, s, a))
    {
        c.out.Report(sweepCase);
    }
    c.out.Say(SweepLines(c.params.nCPU, a));
}

void Stop(SCheck& c)
{
    const SStop stop = c.tool.End(true);
    c.tool.AnswerLateSignal();
    c.out.Report(JudgeStop(stop, c.params.nCPU));
}

} // namespace

int main(int argc, char** argv)
{
    HoldStandardDescriptors();
    SCheck check;
    ReadParameters(check, argc, argv);
    DescribeBoard(check);
    TakeBaseline(check);
    StartTool(check);
    RunSoak(check);
    JudgeTheSoak(check);
    if (check.params.bOppSweep)
    {
        SweepClocks(check);
    }
    Stop(check);
    return check.out.Failed() ? 1 : 0;
}
