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
#include <time.h>
#include <unistd.h>

#include "CaseCatalogue.h"
#include "CheckOutput.h"
#include "JudgeStored.h"
#include "LoadCounters.h"
#include "NumberText.h"
#include "OppSweep.h"
#include "PolicyPin.h"
#include "SoakAnalysis.h"
#include "SoakLines.h"
#include "SoakParams.h"
#include "SoakSampler.h"
#include "SoakSteady.h"
#include "LoadVerdicts.h"
#include "SoakVerdicts.h"
#include "SweepRunner.h"
#include "SysfsRead.h"
#include "ToolSupervisor.h"

namespace
{

// OPP_SWEEP with a list: a policy that holds a listed CPU, its bounds as they were before the
// soak, and its board: the sensors, and its own operating points.
struct SPolicyGroup
{
    int nFirst = 0;              // the policy's first CPU, which its cases name
    std::vector<int> vnCPUs;     // its listed CPUs, ascending
    std::vector<size_t> vTools;  // and their tools
    CPolicyPin pin;
    std::string strWhy;          // why it cannot be written
    bool bCpufreq = false;       // related_cpus names it: else a CPU without cpufreq
    SBoard board;
};

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
    std::vector<int> vnLoaded;  // the CPUs loaded, a tool each, in the order started
    CLoadCounters counters;
    CPolicyPin policy;        // OPP_SWEEP's: CPU K's policy as it was before the soak
    std::string strPolicyWhy;  // why it cannot be written
    std::vector<SPolicyGroup> vPolicies;  // with a list, each policy's
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
    // A stored soak is read before its results file is opened, which may not be the log itself.
    if (vArgs.size() >= 3 && vArgs[0] == "--results" && vArgs[2] == "--judge")
    {
        std::exit(JudgeStoredSoak(std::vector<std::string>(vArgs.begin() + 3, vArgs.end()), c.out, vArgs[1]));
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
    if (!vArgs.empty() && vArgs[0] == "--judge")
    {
        std::exit(JudgeStoredSoak(std::vector<std::string>(vArgs.begin() + 1, vArgs.end()), c.out, ""));
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
    // "all" is what the machine has: its online CPUs that this check may run on.
    std::vector<int> vnAllowed;
    if (c.params.bAllCPUs &&
        (!CPFSystem::QueryThreadCpus(&vnAllowed) ||
         !ChooseAllCPUs(ReadFirstLine("/sys/devices/system/cpu/online"), vnAllowed, &c.params, &strWhy)))
    {
        c.out.FailAll(2, "cannot check: " + (vnAllowed.empty() ? std::string("CPU=all, but the check's own cpuset cannot be read") : strWhy));
    }
    c.vnLoaded = c.params.vnCPUs;
    const std::string strStartable = CToolSupervisor::WhyNotStartable(c.params.strHogspin);
    if (!strStartable.empty())
    {
        c.out.FailAll(1, "cannot start '" + c.params.strHogspin + "': " + strStartable);
    }
    c.tool.SetStopBound(c.params.usStopBound, ShowFixed(c.params.usStopBound, 6, 0));
}

// The policies that hold the listed CPUs, each opened for the sweep where one is asked, with its
// operating points; every one but CPU K's with its clock sampled beside K's.
void GroupPolicies(SCheck& c, size_t nRows)
{
    for (size_t i = 0; i < c.vnLoaded.size(); ++i)
    {
        const int nCPU = c.vnLoaded[i];
        const std::vector<int> vnPolicy = ReadPolicyCpus(c.params.strSysfs, nCPU);
        const int nFirst = vnPolicy.empty() ? nCPU : vnPolicy.front();
        auto it = std::find_if(c.vPolicies.begin(), c.vPolicies.end(), [&](const SPolicyGroup& g) { return g.nFirst == nFirst; });
        if (it == c.vPolicies.end())
        {
            c.vPolicies.emplace_back();
            it = c.vPolicies.end() - 1;
            it->nFirst = nFirst;
            it->bCpufreq = !vnPolicy.empty();
            it->strWhy = c.params.bOppSweep ? it->pin.Open(c.params.strSysfs, nCPU) : "";
            it->board = c.board;
            it->board.vllOppKHz = ReadClocks(c.params.strSysfs, nCPU, &it->board.strStatesWhy);
            const std::string strCur = c.params.strSysfs + "/devices/system/cpu/cpu" + std::to_string(nCPU) + "/cpufreq/scaling_cur_freq";
            it->board.strCurFreqWhy = ReadNumber(strCur) != kMissing ? "" : WhyNothing(strCur);
        }
        it->vnCPUs.push_back(nCPU);
        it->vTools.push_back(i);
    }
    for (const SPolicyGroup& g : c.vPolicies)
    {
        // A CPU without cpufreq has no clock to judge but CPU K's skips.
        if (g.nFirst != c.vPolicies.front().nFirst && g.bCpufreq)
        {
            c.run.vPolicies.emplace_back();
            SPolicyTrace& policy = c.run.vPolicies.back();
            policy.nCPU = g.vnCPUs.front();
            policy.vnCPUs = ReadPolicyCpus(c.params.strSysfs, policy.nCPU);
            policy.board.vSensors = {};
            c.sampler.AddPolicy(c.params.strSysfs, policy, nRows);
            policy.trace.nBaseline = c.params.nBaseline;
        }
    }
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
    if (IsCpuList(c.params))
    {
        c.sampler.CountCpus(c.vnLoaded);
    }
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
    c.strPolicyWhy = c.params.bOppSweep && !IsCpuList(c.params) ? c.policy.Open(c.params.strSysfs, c.params.nCPU) : "";
    if (IsCpuList(c.params))
    {
        GroupPolicies(c, nRows);
    }
    utsname uts;
    const bool bUname = uname(&uts) == 0;
    timespec now{};
    // A board without a battery-backed clock may start in 1970: the report judges the time.
    const bool bClock = clock_gettime(CLOCK_REALTIME, &now) == 0;
    c.out.Say(BoardLine({ReadBoardModel(c.params.strSysfs), bUname ? uts.release : "", bUname ? uts.nodename : "",
                         c.params.strBoard, bClock ? UtcStamp(now.tv_sec) : "", HOGSPIN_VERSION}));
    c.out.Say(TraceHeader(c.params.nCPU, c.board.vSensors));
    c.out.Say(LimitsLine(c.params.limits) + SensorsLine(c.board.vSensors));
}

void Sample(SCheck& c)
{
    c.sampler.TakeSample(c.board.vSensors, c.run.trace, c.qwStartNs, c.run.vPolicies);
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

// The tools, one a CPU, and their summaries: each one's first line, up to 10 s for them all
// while they run.
void StartTool(SCheck& c)
{
    const std::string strHogspin = c.params.strHogspin;
    const bool bList = IsCpuList(c.params);
    for (const int nCPU : c.vnLoaded)
    {
        const std::string strWhy = c.tool.Start({strHogspin, std::to_string(nCPU), std::to_string(c.params.nThreads)});
        if (!strWhy.empty())
        {
            c.out.FailAll(1, "cannot start '" + strHogspin + "'" + (bList ? " for CPU " + std::to_string(nCPU) : "") + ": " + strWhy);
        }
    }
    c.tool.WaitForFirstLine(c.qwStartNs + 10000000000U);
    const std::string strOnline = ReadFirstLine("/sys/devices/system/cpu/online");
    std::vector<SCase> vSummaries;
    for (size_t i = 0; i < c.vnLoaded.size(); ++i)
    {
        const std::string strFor = bList ? " for CPU " + std::to_string(c.vnLoaded[i]) : "";
        if (c.tool.FirstLine(i).empty() && c.tool.Reaped(i))
        {
            const std::string strErr = Printable(c.tool.ErrorLine(i));
            c.out.FailAll(1, "cannot start '" + strHogspin + "'" + strFor + ": it ended at once with status " +
                                 std::to_string(c.tool.Status(i)) + (strErr.empty() ? "" : ": " + strErr));
        }
        if (!c.tool.HasFirstLine(i) && !c.tool.Reaped(i))
        {
            c.out.FailAll(1, "cannot check: '" + strHogspin + "'" + strFor + " printed no summary line in 10 s");
        }
        vSummaries.push_back(JudgeSummary(c.tool.FirstLine(i), c.vnLoaded[i], c.params.nThreads, strOnline.empty() ? "unknown" : strOnline));
    }
    for (const SCase& summary : JudgeEach(ECase::SummaryRet, ECase::SummaryRetOf, c.vnLoaded, vSummaries))
    {
        c.out.Report(summary);
    }
    // One tool that could not pin is no load of the whole list: the soak ends for all at once.
    const auto itBad = std::find_if(vSummaries.begin(), vSummaries.end(), [](const SCase& s) { return s.eResult == EResult::Fail; });
    if (bList && itBad != vSummaries.end())
    {
        c.run.bCut = true;
        c.run.strEnded = "not run: the tool for CPU " + std::to_string(c.vnLoaded[static_cast<size_t>(itBad - vSummaries.begin())]) +
                         " did not pin its workers";
    }
    // The check's own thread keeps off the loaded CPUs where its cpuset has another.
    std::vector<int> vnAllowed;
    if (bList && CPFSystem::QueryThreadCpus(&vnAllowed))
    {
        vnAllowed.erase(std::remove_if(vnAllowed.begin(), vnAllowed.end(),
                                       [&](int n) { return std::find(c.vnLoaded.begin(), c.vnLoaded.end(), n) != c.vnLoaded.end(); }),
                        vnAllowed.end());
        if (!vnAllowed.empty())
        {
            (void)CPFSystem::SetThreadCpus(vnAllowed);
        }
    }
}

// With a list, a tool that has ended ends the soak for all: why, or "".
std::string EndedTool(SCheck& c)
{
    const int iEnded = IsCpuList(c.params) ? c.tool.FirstEnded() : -1;
    const size_t i = static_cast<size_t>(iEnded);
    return iEnded < 0 ? "" : "the tool for CPU " + std::to_string(c.vnLoaded[i]) + " ended with status " + std::to_string(c.tool.Status(i));
}

// The soak starts at its first sample, taken as soon as the summary has confirmed the load;
// one follows every INTERVAL, to fixed deadlines from that sample's own time: nothing before
// it (a slow start, the walk of a large tree on a slow board) can shorten the soak, only end
// it later. UNTIL_STEADY looks for a steady board whenever the soak has grown a twentieth.
void RunSoak(SCheck& c)
{
    c.counters.Begin(c.vnLoaded, IsCpuList(c.params), c.run);
    SSoakTrace& trace = c.run.trace;
    const tuint64 qwIntervalNs = static_cast<tuint64>(c.params.usInterval) * 1000U;
    const size_t iFirst = trace.nSamples;
    c.run.usPlanned = static_cast<tint64>(c.params.nSamples) * c.params.usInterval;
    Sample(c);
    const tint64 usFirst = trace.vllTimeUs[iFirst];
    const tuint64 qwFirstNs = c.qwStartNs + static_cast<tuint64>(usFirst) * 1000U;
    c.counters.FirstSample(c.sampler, c.run);
    c.tool.HoldTree();
    size_t nNextLook = 10;
    SSteadyWatch watch;
    for (size_t k = 1; k <= c.params.nSamples && c.run.strEnded.empty(); ++k)
    {
        while (!c.tool.WaitUntil(qwFirstNs + k * qwIntervalNs))
        {
        }
        Sample(c);
        const std::string strToolEnded = EndedTool(c);
        if (!strToolEnded.empty())
        {
            c.run.bCut = true;
            c.run.strEnded = "ended at " + ShowFixed((trace.vllTimeUs[trace.nSamples - 1] - usFirst) / 1000, 3, 1) + " s: " + strToolEnded;
            break;
        }
        std::string strSteady;
        if (c.params.bUntilSteady && k >= nNextLook && k < c.params.nSamples)
        {
            nNextLook = k + std::max<size_t>(1, k / 20);
            if (SoakIsSteady(c.params, trace, AnalyseSoak(c.params, c.board, c.run), &watch, &strSteady))
            {
                c.run.strEnded = "ended at " + ShowFixed((trace.vllTimeUs[trace.nSamples - 1] - usFirst) / 1000, 3, 1) +
                                 " s of the " + ShowFixed(c.params.usSettle, 6, 0) + " s asked, when steady: " + strSteady;
                c.run.usPlanned = static_cast<tint64>(k) * c.params.usInterval;
                break;
            }
        }
    }
    c.counters.Finish(c.sampler, c.run);
    c.tool.HoldTree();
    if (c.params.bUntilSteady && c.run.strEnded.empty())
    {
        c.run.strEnded = "not steady by SETTLE";
    }
}

// The soak's analysis, once, for its fit lines and its verdicts.
void JudgeTheSoak(SCheck& c)
{
    c.analysis = AnalyseSoak(c.params, c.board, c.run);
    c.out.Say(FitLines(c.analysis));
    std::vector<SCase> vPinned;
    for (size_t i = 0; i < c.vnLoaded.size(); ++i)
    {
        vPinned.push_back(JudgePinned(c.tool.ReadWorkers(i), c.vnLoaded[i], c.params.nThreads));
    }
    for (const SCase& pinned : JudgeEach(ECase::WorkersPinned, ECase::WorkersPinnedOf, c.vnLoaded, vPinned))
    {
        c.out.Report(pinned);
    }
    // With a list, each policy's clock is judged once, saying which CPUs share it: CPU K's with
    // the soak's cases, every other from its own samples.
    const std::vector<int> vnPolicyK = ReadPolicyCpus(c.params.strSysfs, c.params.nCPU);
    const std::string strSharedK = IsCpuList(c.params) && !vnPolicyK.empty() ? "; the policy of CPUs " + CpuListText(vnPolicyK) : "";
    for (SCase& soakCase : JudgeSoak(c.params, c.analysis))
    {
        const SCaseKind* pKind = FindCaseKind(soakCase.strName);
        const bool bClock = pKind != nullptr && (pKind->eCase == ECase::FreqMin || pKind->eCase == ECase::LimitFreq ||
                                                 pKind->eCase == ECase::ThrottleOnset || pKind->eCase == ECase::ThrottleTime);
        soakCase.strDetails += bClock ? strSharedK : "";
        c.out.Report(soakCase);
    }
    for (const SPolicyTrace& policy : c.run.vPolicies)
    {
        SCheckParams asked = c.params;
        asked.nCPU = policy.nCPU;
        SSoakRun run;
        run.trace = policy.trace;
        run.usPlanned = c.run.usPlanned;
        run.strEnded = c.run.strEnded;
        run.bCut = c.run.bCut;
        for (const SCase& clockCase : JudgePolicyClock(asked, AnalyseSoak(asked, policy.board, run), "; the policy of CPUs " + CpuListText(policy.vnCPUs)))
        {
            c.out.Report(clockCase);
        }
    }
}

// OPP_SWEEP: CPU K's operating points under the load, or each listed policy's, then their figures.
void SweepClocks(SCheck& c)
{
    if (!IsCpuList(c.params))
    {
        SSweepRig rig{c.params, c.board, c.analysis, c.tool, c.sampler, c.policy, c.strPolicyWhy, c.qwStartNs};
        rig.nPolicyCPU = rig.nNameCPU = c.params.nCPU;
        const SSweep sweep = RunSweep(rig);
        const SSweepAnalysis a = AnalyseSweep(sweep);
        for (const SCase& sweepCase : JudgeSweep(c.params.nCPU, sweep, a))
        {
            c.out.Report(sweepCase);
        }
        c.out.Say(SweepLines(c.params.nCPU, a));
        return;
    }
    // Each policy in turn, the others' tools stopped meanwhile.
    for (SPolicyGroup& g : c.vPolicies)
    {
        SSweepRig rig{c.params, g.board, c.analysis, c.tool, c.sampler, g.pin, g.strWhy, c.qwStartNs};
        rig.vnBusy = g.vnCPUs;
        rig.vTools = g.vTools;
        rig.nPolicyCPU = g.vnCPUs.front();
        rig.nNameCPU = g.nFirst;
        const SSweep sweep = RunSweep(rig);
        const SSweepAnalysis a = AnalyseSweep(sweep);
        for (const SCase& sweepCase : JudgeSweep(g.nFirst, sweep, a))
        {
            c.out.Report(sweepCase);
        }
        c.out.Say(SweepLines(g.nFirst, a));
    }
}

void Stop(SCheck& c)
{
    const std::vector<SStop> vStops = c.tool.End(true);
    c.tool.AnswerLateSignal();
    std::vector<SCase> vJudged;
    for (size_t i = 0; i < vStops.size() && i < c.vnLoaded.size(); ++i)
    {
        vJudged.push_back(JudgeStop(vStops[i], c.vnLoaded[i]));
    }
    for (const SCase& stop : JudgeEach(ECase::StopSigint, ECase::StopSigintOf, c.vnLoaded, vJudged))
    {
        c.out.Report(stop);
    }
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
