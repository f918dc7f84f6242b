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

#include "CaseCatalogue.h"
#include "CheckOutput.h"
#include "NumberText.h"
#include "OppSweep.h"
#include "PolicyPin.h"
#include "SoakAnalysis.h"
#include "SoakLines.h"
#include "SoakParams.h"
#include "SoakSampler.h"
#include "SoakSteady.h"
#include "SoakVerdicts.h"
#include "SweepRunner.h"
#include "SysfsRead.h"
#include "ToolSupervisor.h"

namespace
{

// Everything one run of the check holds: what was asked (read once, then constant), what the
// board is (found once), what the run measured, and the analysis computed once from the three.
struct SCheck
{
    CToolSupervisor tool;
    CCheckOutput out{tool};
    SCheckParams params;
    SBoard board;
    SSoakRun run;
    SSoakAnalysis analysis;
    CSoakSampler sampler;
    tuint64 qwStartNs = 0;  // when the tool starts: the baseline lies before it
    FDHANDLE hCycles = -1;  // CPU K's cycle counter, where it can be read
    tuint64 qwCyclesFirst = 0;
    CPolicyPin policy;        // OPP_SWEEP's: CPU K's policy as it was before the soak
    std::string strPolicyWhy;  // why it cannot be written
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

// --help, --cases, --results, then the parameters; a bad one fails every case before anything starts.
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
    if (!vArgs.empty() && vArgs[0] == "--cases")
    {
        c.out.Say(CaseTable());
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
}

// The board's sensors, opened for the soak, and the lines that say which board this is and
// what the trace holds.
void DescribeBoard(SCheck& c)
{
    c.board.vSensors = NameSensors(FindSensors(c.params.strSysfs, c.params.nCPU));
    std::string strNoMeter;
    if (!c.params.strPowerMeter.empty() && ChooseMeter(c.params.strPowerMeter, c.board.vSensors, &strNoMeter) < 0)
    {
        c.out.FailAll(2, "cannot check: " + strNoMeter);
    }
    c.sampler.Open(c.params.strSysfs, c.params.nCPU, c.board);
    const size_t nRows = c.params.nBaseline + c.params.nSamples + 1;
    SSoakTrace& trace = c.run.trace;
    if (!trace.Reserve(nRows, c.board.vSensors.size(), c.sampler.StateCount()))
    {
        c.out.FailAll(2, "cannot check: " + std::to_string(nRows) + " samples of " +
                             std::to_string(4 + c.board.vSensors.size() + c.sampler.StateCount()) +
                             " figures each would take more than 256 MiB: a longer INTERVAL takes fewer");
    }
    trace.nBaseline = c.params.nBaseline;
    trace.vllStateKHz = c.sampler.StateClocks();
    // The bounds the sweep puts back, read before the soak's heat can have capped the maximum.
    c.strPolicyWhy = c.params.bOppSweep ? c.policy.Open(c.params.strSysfs, c.params.nCPU) : "";
    utsname uts;
    const bool bUname = uname(&uts) == 0;
    c.out.Say(BoardLine(ReadBoardModel(c.params.strSysfs), bUname ? uts.release : "", bUname ? uts.nodename : "", c.params.strBoard));
    c.out.Say(TraceHeader(c.params.nCPU, c.board.vSensors));
    c.out.Say(LimitsLine(c.params.limits));
}

void Sample(SCheck& c)
{
    c.sampler.TakeSample(c.board.vSensors, c.run.trace, c.qwStartNs);
    c.out.Say(c.sampler.Line(), c.sampler.FormatLastLine(c.board.vSensors, c.run.trace));
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
        c.run.cycles.strWhyNot = "CPU " + strCPU + "'s cycle counter opened but could not be read";
    }
    else if (c.hCycles < 0)
    {
        const std::string strParanoid = ReadFirstLine("/proc/sys/kernel/perf_event_paranoid");
        c.run.cycles.strWhyNot = iErr == EACCES || iErr == EPERM
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
        c.run.cycles.bRead = CPFSystem::ReadCycleCounter(c.hCycles, &qwCyclesLast) && qwCyclesLast >= c.qwCyclesFirst;
        c.run.cycles.qwCycles = qwCyclesLast - c.qwCyclesFirst;
        c.run.cycles.strWhyNot = c.run.cycles.bRead ? "" : "CPU " + std::to_string(c.params.nCPU) + "'s cycle counter could not be read at the soak's end";
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
    SSoakTrace& trace = c.run.trace;
    const tuint64 qwIntervalNs = static_cast<tuint64>(c.params.usInterval) * 1000U;
    const size_t iFirst = trace.nSamples;
    c.run.usPlanned = static_cast<tint64>(c.params.nSamples) * c.params.usInterval;
    Sample(c);
    const tint64 usFirst = trace.vllTimeUs[iFirst];
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
            if (SoakIsSteady(AnalyseSoak(c.params, c.board, c.run), &watch, &strSteady))
            {
                c.run.strEnded = "ended at " + ShowFixed((trace.vllTimeUs[trace.nSamples - 1] - usFirst) / 1000, 3, 1) +
                                 " s of the " + ShowFixed(c.params.usSettle, 6, 0) + " s asked, when steady: " + strSteady;
                c.run.usPlanned = static_cast<tint64>(k) * c.params.usInterval;
                break;
            }
        }
    }
    tuint64 qwToolLast = 0;
    SToolTime& tool = c.run.tool;
    tool.bRead = bToolFirst && CPFSystem::QueryTreeCpuNs(getpid(), c.params.nCPU, &qwToolLast) && qwToolLast >= qwToolFirst;
    tool.usTime = static_cast<tint64>((qwToolLast - qwToolFirst) / 1000);
    tool.usSpan = static_cast<tint64>((CPFSystem::QueryTickCountNs() - qwToolFirstAt) / 1000);
    c.tool.HoldTree();
    if (c.params.bUntilSteady && c.run.strEnded.empty())
    {
        c.run.strEnded = "not steady by SETTLE";
    }
    CloseCycles(c);
}

// The soak's analysis, once, for its fit lines and its verdicts.
void JudgeTheSoak(SCheck& c)
{
    c.analysis = AnalyseSoak(c.params, c.board, c.run);
    c.out.Say(FitLines(c.analysis));
    c.out.Report(JudgePinned(c.tool.ReadWorkers(), c.params.nCPU, c.params.nThreads));
    for (const SCase& soakCase : JudgeSoak(c.params, c.analysis))
    {
        c.out.Report(soakCase);
    }
}

// OPP_SWEEP: CPU K's operating points under the load, then their figures.
void SweepClocks(SCheck& c)
{
    const SSweep sweep = RunSweep(SSweepRig{c.params, c.board, c.analysis, c.tool, c.sampler, c.policy, c.strPolicyWhy, c.qwStartNs});
    const SSweepAnalysis a = AnalyseSweep(sweep);
    for (const SCase& sweepCase : JudgeSweep(c.params.nCPU, sweep, a))
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
