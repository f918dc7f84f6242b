// SPDX-License-Identifier: MIT
// hogspin-check: loads one CPU with hogspin through a soak, traces the board's sensors, judges it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../../Common/Layer2_Platform/Linux_ARM_glibc/PFSystem.h"
#include "SoakJudge.h"

namespace
{

// The signals that end the check, and the tool with it, each with its name.
const struct
{
    int nSignal;
    const char* pszName;
} kStopSignals[] = {{SIGINT, "INT"},   {SIGTERM, "TERM"}, {SIGHUP, "HUP"},   {SIGPIPE, "PIPE"},
                    {SIGQUIT, "QUIT"}, {SIGALRM, "ALRM"}, {SIGUSR1, "USR1"}, {SIGUSR2, "USR2"}};

const char* const kEveryCase[] = {"summary-ret", "workers-pinned", "cpu-busy", "stop-sigint"};

// What the tool wrote is kept up to this much: its first line and its last are what count.
const size_t kToolOutputKept = 65536;
const size_t kFirstLineKept = 4096;
const tuint64 kToolOutputRead = 1U << 20;

// The tool, from its start until it has been reaped.
struct STool
{
    pid_t nPid = 0;
    bool bReaped = false;
    int iStatus = 0;  // its exit status, 128 + N for signal N
    FDHANDLE hOut = -1;
    FDHANDLE hErr = -1;
    std::string strOut;
    tuint64 qwOutBytes = 0;
    tuint64 qwErrBytes = 0;
    std::string strFirstLine;
    bool bFirstLine = false;
    std::string strErrLine;
};

SCheckParams g_params;
STool g_tool;
FDHANDLE g_hSignal = -1;
FDHANDLE g_hTimer = -1;
FDHANDLE g_hResults = -1;
sigset_t g_sigOwn;  // the mask the check was started with, for the tool
bool g_bFailed = false;
bool g_bEnding = false;  // the tool is being ended
int g_nLateSignal = 0;   // a stop signal that came meanwhile

[[noreturn]] void StopBySignal(int nSignal);

void SayError(const std::string& str)
{
    // Nothing more can be done about a standard error that cannot be written.
    (void)CPFSystem::WriteFile(STDERR_FILENO, str.data(), str.size());
}

std::string Ending()
{
    return g_tool.nPid != 0 && !g_tool.bReaped ? "ending the tool it started and stopping" : "stopping";
}

const char* SignalName(int nSignal)
{
    for (const auto& stop : kStopSignals)
    {
        if (stop.nSignal == nSignal)
        {
            return stop.pszName;
        }
    }
    return "?";
}

// Reaps every child that has ended: the tool, and whatever of its tree this check adopted.
void Reap()
{
    int iStatus = 0;
    for (pid_t nDone; (nDone = CPFSystem::ReapAnyChild(&iStatus)) != 0;)
    {
        if (nDone == g_tool.nPid)
        {
            g_tool.bReaped = true;
            g_tool.iStatus = WIFSIGNALED(iStatus) ? 128 + WTERMSIG(iStatus) : WEXITSTATUS(iStatus);
        }
    }
}

// Reads what the tool's pipes hold now, 64 KiB at most, so that a tool that writes without end
// cannot hold the check here; a pipe at its end is closed. Its first line is the text up to
// its first newline, or its first 4 KiB.
void PumpTool()
{
    char acBuf[4096];
    for (FDHANDLE* phPipe : {&g_tool.hOut, &g_tool.hErr})
    {
        for (int nReads = 0; *phPipe >= 0 && nReads < 16; ++nReads)
        {
            const ssize_t cb = read(*phPipe, acBuf, sizeof(acBuf));
            if (cb < 0 && errno == EINTR)
            {
                continue;
            }
            if (cb < 0 && errno == EAGAIN)
            {
                break;
            }
            if (cb <= 0)
            {
                CPFSystem::CloseHandle(*phPipe);
                break;
            }
            const size_t cch = static_cast<size_t>(cb);
            if (phPipe == &g_tool.hErr)
            {
                g_tool.strErrLine.append(acBuf, std::min(cch, kFirstLineKept - std::min(kFirstLineKept, g_tool.strErrLine.size())));
                g_tool.qwErrBytes += cch;
                if (g_tool.qwErrBytes > kToolOutputRead)
                {
                    CPFSystem::CloseHandle(g_tool.hErr);  // a flood, as on standard output below
                }
                continue;
            }
            if (!g_tool.bFirstLine)
            {
                const char* pNewline = std::find(acBuf, acBuf + cch, '\n');
                g_tool.strFirstLine.append(acBuf, static_cast<size_t>(pNewline - acBuf));
                g_tool.bFirstLine = pNewline != acBuf + cch || g_tool.strFirstLine.size() >= kFirstLineKept;
                g_tool.strFirstLine.resize(std::min(g_tool.strFirstLine.size(), kFirstLineKept));
            }
            g_tool.strOut.append(acBuf, cch);
            if (g_tool.strOut.size() > 2 * kToolOutputKept)
            {
                g_tool.strOut.erase(0, g_tool.strOut.size() - kToolOutputKept);
            }
            // hogspin writes two lines: a flood is read no further, or it would keep the
            // check, and a CPU, busy through the soak.
            g_tool.qwOutBytes += cch;
            if (g_tool.qwOutBytes > kToolOutputRead)
            {
                CPFSystem::CloseHandle(g_tool.hOut);
            }
        }
    }
}

// Waits until the monotonic time qwDueNs, reading the tool's output meanwhile. A stop signal
// ends the check; SIGCHLD, or the time, only ends the wait. True when the time has come.
bool WaitUntil(tuint64 qwDueNs, bool bAnswerSignals = true)
{
    if (!CPFSystem::SetWaitableTimer(g_hTimer, qwDueNs))
    {
        return true;
    }
    pollfd aFds[4] = {{g_hSignal, POLLIN, 0}, {g_hTimer, POLLIN, 0}, {g_tool.hOut, POLLIN, 0}, {g_tool.hErr, POLLIN, 0}};
    if (CPFSystem::WaitForMultipleObjects(aFds, 4, -1) < 0)
    {
        return CPFSystem::QueryTickCountNs() >= qwDueNs;
    }
    // Only what is ready is read: a sample's wait costs one poll.
    if ((aFds[2].revents | aFds[3].revents) != 0)
    {
        PumpTool();
    }
    for (int nSignal; aFds[0].revents != 0 && (nSignal = CPFSystem::ReadSignal(g_hSignal)) != 0;)
    {
        if (nSignal == SIGCHLD || !bAnswerSignals)
        {
            continue;
        }
        // The stop under way goes on to its bound; the signal is answered once it is over.
        if (g_bEnding)
        {
            g_nLateSignal = g_nLateSignal == 0 ? nSignal : g_nLateSignal;
            continue;
        }
        StopBySignal(nSignal);
    }
    if (aFds[1].revents == 0)
    {
        return CPFSystem::QueryTickCountNs() >= qwDueNs;
    }
    CPFSystem::ResetWaitableTimer(g_hTimer);
    return true;
}

// SIGINT to the tool's process group, as Ctrl-C to a terminal's, and to whatever it started
// that left the group, then SIGKILL for whatever of it is left past the stop bound. The check
// adopts what the tool's own children leave behind, so that all of it lies below the check;
// once the tool is reaped its group's number may be another's, so then only PIDs are signalled.
SStop EndTool(bool bAnswerSignals)
{
    SStop stop;
    stop.strBound = ShowFixed(g_params.msStopBound, 3, 0);
    if (g_tool.nPid == 0)
    {
        return stop;
    }
    g_bEnding = true;
    const pid_t nGroup = g_tool.nPid;
    const pid_t nSelf = getpid();
    std::vector<pid_t> vTree;
    const auto signalTree = [&](int nSignal) {
        if (!g_tool.bReaped)
        {
            CPFSystem::SignalProcessGroup(nGroup, nSignal);
        }
        CPFSystem::ListDescendants(nSelf, &vTree);
        for (const pid_t nPid : vTree)
        {
            CPFSystem::SignalProcess(nPid, nSignal);
        }
    };
    Reap();
    stop.bSignalled = !g_tool.bReaped;
    const tuint64 qwBound = CPFSystem::QueryTickCountNs() + static_cast<tuint64>(g_params.msStopBound) * 1000000U;
    signalTree(SIGINT);
    for (tuint64 qwNow = CPFSystem::QueryTickCountNs(); qwNow < qwBound; qwNow = CPFSystem::QueryTickCountNs())
    {
        Reap();
        CPFSystem::ListDescendants(nSelf, &vTree);
        if (g_tool.bReaped && vTree.empty())
        {
            break;
        }
        // SIGCHLD wakes the wait for a child; the rest of the tree is looked at every 20 ms.
        WaitUntil(std::min(qwBound, qwNow + 20000000U), bAnswerSignals);
    }
    Reap();
    CPFSystem::ListDescendants(nSelf, &vTree);
    if (!g_tool.bReaped || !vTree.empty())
    {
        stop.bKilled = !g_tool.bReaped;
        stop.bTreeKilled = g_tool.bReaped;
        signalTree(SIGKILL);
        // SIGKILL ends a task at once, but for one stuck in the kernel: not wait for ever.
        const tuint64 qwKilled = CPFSystem::QueryTickCountNs() + 5000000000U;
        while ((!g_tool.bReaped || !vTree.empty()) && CPFSystem::QueryTickCountNs() < qwKilled)
        {
            WaitUntil(CPFSystem::QueryTickCountNs() + 10000000U, false);
            Reap();
            CPFSystem::ListDescendants(nSelf, &vTree);
        }
    }
    PumpTool();
    stop.iStatus = g_tool.iStatus;
    // Its last line, with or without a newline at its end.
    std::string strOut = g_tool.strOut;
    if (!strOut.empty() && strOut.back() == '\n')
    {
        strOut.pop_back();
    }
    stop.strLastLine = strOut.substr(strOut.rfind('\n') == std::string::npos ? 0 : strOut.rfind('\n') + 1);
    g_tool.nPid = g_tool.bReaped ? 0 : g_tool.nPid;
    return stop;
}

// A line that cannot be written (a reader gone away, a full disc) stops the check as SIGPIPE
// would have, which says so instead where it was not ignored.
[[noreturn]] void StopUnwritable()
{
    for (int nSignal; (nSignal = CPFSystem::ReadSignal(g_hSignal)) != 0;)
    {
        if (nSignal == SIGPIPE)
        {
            StopBySignal(SIGPIPE);
        }
    }
    SayError("hogspin-check: cannot write its output: " + Ending() + "\n");
    (void)EndTool(false);
    std::exit(1);
}

[[noreturn]] void StopBySignal(int nSignal)
{
    SayError(std::string("hogspin-check: SIG") + SignalName(nSignal) + ": " + Ending() + "\n");
    (void)EndTool(false);
    std::exit(128 + nSignal);
}

// A stop signal that came while the tool was being ended in order.
void AnswerLateSignal()
{
    if (g_nLateSignal != 0)
    {
        SayError(std::string("hogspin-check: SIG") + SignalName(g_nLateSignal) + ": stopping\n");
        std::exit(128 + g_nLateSignal);
    }
}

void Say(const char* psz, size_t cch)
{
    if (!CPFSystem::WriteFile(STDOUT_FILENO, psz, cch))
    {
        StopUnwritable();
    }
}

void Say(const std::string& str)
{
    Say(str.data(), str.size());
}

void Report(const SCase& c)
{
    Say(CaseLine(c));
    if (g_hResults >= 0)
    {
        const std::string str = ResultLine(c);
        (void)CPFSystem::WriteFile(g_hResults, str.data(), str.size());
    }
    g_bFailed = g_bFailed || c.eResult == EResult::Fail;
}

// Nothing more will run: every case fails with the reason.
[[noreturn]] void FailAll(int iStatus, const std::string& strWhy)
{
    for (const char* pszCase : kEveryCase)
    {
        Report(SCase{pszCase, EResult::Fail, strWhy, "", ""});
    }
    SayError("hogspin-check: " + strWhy + "\n");
    (void)EndTool(false);
    std::exit(iStatus);
}

// The first line of a file, or "" when it cannot be read.
std::string FirstLine(const std::string& strPath)
{
    char acBuf[4097];
    const ssize_t cb = CPFSystem::ReadSmallFile(strPath.c_str(), acBuf, sizeof(acBuf));
    const std::string str = cb > 0 ? std::string(acBuf, static_cast<size_t>(cb)) : std::string();
    const std::string strLine = str.substr(0, str.find('\n'));
    const size_t nFirst = strLine.find_first_not_of(" \t");
    const size_t nLast = strLine.find_last_not_of(" \t");
    return nFirst == std::string::npos ? std::string() : strLine.substr(nFirst, nLast - nFirst + 1);
}

tint64 ReadValue(FDHANDLE hFile)
{
    char acBuf[64];
    const ssize_t cb = hFile >= 0 ? CPFSystem::ReadFileAt(hFile, acBuf, sizeof(acBuf)) : -1;
    return cb > 0 ? ParseSensorValue(acBuf, acBuf + cb) : kMissing;
}

// Every descriptor a sample reads, open for the whole soak, and the buffers it reads into.
struct SSampler
{
    FDHANDLE hStat = -1;
    std::vector<char> vcStat;
    std::string strStatKey;  // "\ncpuK "
    FDHANDLE hFreq = -1;
    FDHANDLE hStates = -1;   // cpufreq's time_in_state
    std::vector<tint64> vllStateKHz;
    std::vector<FDHANDLE> vhSensors;
    std::vector<char> vcLine;
    std::vector<char> vcText;  // a file of lines: time_in_state, a cooling device's
};

// The row's cpufreq time_in_state, when its clocks are the ones the soak began with.
void ReadStates(SSampler& sampler, SSoakTrace& trace, size_t iRow)
{
    if (trace.nStates == 0)
    {
        return;
    }
    const ssize_t cb = CPFSystem::ReadFileAt(sampler.hStates, sampler.vcText.data(), sampler.vcText.size());
    tint64 allKHz[64];
    tint64* pllTime = &trace.vllStateTime[iRow * trace.nStates];
    const size_t n = cb > 0 ? ParseTimeInState(sampler.vcText.data(), sampler.vcText.data() + cb, allKHz, pllTime, trace.nStates) : 0;
    if (n != trace.nStates || !std::equal(allKHz, allKHz + n, trace.vllStateKHz.begin()))
    {
        std::fill(pllTime, pllTime + trace.nStates, kMissing);
    }
}

void TakeSample(const SSoakSetup& setup, SSampler& sampler, SSoakTrace& trace, tuint64 qwStartNs)
{
    const size_t iRow = trace.nSamples;
    trace.vllTimeUs[iRow] = (static_cast<tint64>(CPFSystem::QueryTickCountNs()) - static_cast<tint64>(qwStartNs)) / 1000;
    // Busy: all but idle and iowait of user nice system idle iowait irq softirq steal.
    const ssize_t cb = CPFSystem::ReadFileAt(sampler.hStat, sampler.vcStat.data(), sampler.vcStat.size() - 1);
    if (cb > 0)
    {
        sampler.vcStat[static_cast<size_t>(cb)] = '\0';
        const char* p = std::strstr(sampler.vcStat.data(), sampler.strStatKey.c_str());
        if (p != nullptr)
        {
            p += sampler.strStatKey.size();
            tint64 all[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            for (tint64& ll : all)
            {
                char* pEnd = nullptr;
                ll = static_cast<tint64>(std::strtoull(p, &pEnd, 10));
                p = pEnd;
            }
            trace.vllBusy[iRow] = all[0] + all[1] + all[2] + all[5] + all[6] + all[7];
            trace.vllTotal[iRow] = trace.vllBusy[iRow] + all[3] + all[4];
        }
    }
    trace.vllKHz[iRow] = ReadValue(sampler.hFreq);
    for (size_t k = 0; k < sampler.vhSensors.size(); ++k)
    {
        tint64& llValue = trace.vllValues[iRow * trace.nSensors + k];
        if (setup.vSensors[k].eKind != ESensorKind::Cooling)
        {
            llValue = ReadValue(sampler.vhSensors[k]);
            continue;
        }
        const ssize_t cbText = sampler.vhSensors[k] >= 0
                                   ? CPFSystem::ReadFileAt(sampler.vhSensors[k], sampler.vcText.data(), sampler.vcText.size())
                                   : -1;
        llValue = cbText > 0 ? ParseCoolingTime(sampler.vcText.data(), sampler.vcText.data() + cbText) : kMissing;
    }
    ReadStates(sampler, trace, iRow);
    ++trace.nSamples;
}

bool IsDirectory(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Even a dangling symbolic link: a sensor that cannot be read is said, not left out.
bool Exists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

// The entries of a directory that start with strPrefix and end with strSuffix, sorted.
std::vector<std::string> Entries(const std::string& strDir, const std::string& strPrefix, const std::string& strSuffix)
{
    std::vector<std::string> vNames;
    if (DIR* pDir = opendir(strDir.c_str()))
    {
        while (const dirent* pEntry = readdir(pDir))
        {
            const std::string strName = pEntry->d_name;
            if (strName.size() >= strPrefix.size() + strSuffix.size() && strName.compare(0, strPrefix.size(), strPrefix) == 0 &&
                strName.compare(strName.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0)
            {
                vNames.push_back(strName);
            }
        }
        closedir(pDir);
    }
    std::sort(vNames.begin(), vNames.end());
    return vNames;
}

// Every thermal zone and cooling device, then every hwmon power meter, then every energy
// counter, each with the name it gives itself.
std::vector<SRawSensor> FindSensors(const std::string& strSysfs)
{
    std::vector<SRawSensor> vRaw;
    for (const std::string& strZone : Entries(strSysfs + "/class/thermal", "thermal_zone", ""))
    {
        const std::string strPath = "class/thermal/" + strZone + "/temp";
        if (Exists(strSysfs + "/" + strPath))
        {
            vRaw.push_back(SRawSensor{ESensorKind::Temp, strPath, FirstLine(strSysfs + "/class/thermal/" + strZone + "/type")});
        }
    }
    // A cooling device counts the time it spent in each state only where the kernel keeps its statistics.
    for (const std::string& strDevice : Entries(strSysfs + "/class/thermal", "cooling_device", ""))
    {
        const std::string strPath = "class/thermal/" + strDevice + "/stats/time_in_state_ms";
        if (Exists(strSysfs + "/" + strPath))
        {
            vRaw.push_back(SRawSensor{ESensorKind::Cooling, strPath, FirstLine(strSysfs + "/class/thermal/" + strDevice + "/type")});
        }
    }
    for (const ESensorKind eKind : {ESensorKind::Power, ESensorKind::Energy})
    {
        const char* pszInput = eKind == ESensorKind::Power ? "power" : "energy";
        std::vector<std::string> vPaths;
        for (const std::string& strHwmon : Entries(strSysfs + "/class/hwmon", "hwmon", ""))
        {
            for (const std::string& strInput : Entries(strSysfs + "/class/hwmon/" + strHwmon, pszInput, "_input"))
            {
                vPaths.push_back("class/hwmon/" + strHwmon + "/" + strInput);
            }
        }
        std::sort(vPaths.begin(), vPaths.end());  // as a shell's glob orders the whole paths
        for (const std::string& strPath : vPaths)
        {
            const std::string strDir = strSysfs + "/" + strPath.substr(0, strPath.rfind('/'));
            const std::string strInput = strPath.substr(strPath.rfind('/') + 1, strPath.size() - strPath.rfind('/') - 1 - 6);
            const std::string strLabel = FirstLine(strDir + "/" + strInput + "_label");
            vRaw.push_back(SRawSensor{eKind, strPath, FirstLine(strDir + "/name") + "-" + (strLabel.empty() ? strInput : strLabel)});
        }
    }
    return vRaw;
}

// Why HOGSPIN cannot be started, or "" when it can: found as exec would find it.
std::string WhyNotStartable(const std::string& strTool)
{
    const auto runnable = [](const std::string& strPath) { return !IsDirectory(strPath) && access(strPath.c_str(), X_OK) == 0; };
    if (strTool.find('/') != std::string::npos)
    {
        return !Exists(strTool) ? "not found" : runnable(strTool) ? "" : "not executable";
    }
    const char* pszPath = std::getenv("PATH");
    const std::string strPath = pszPath == nullptr ? "/usr/local/bin:/usr/bin:/bin" : pszPath;
    for (size_t nStart = 0; nStart <= strPath.size();)
    {
        const size_t nEnd = std::min(strPath.find(':', nStart), strPath.size());
        const std::string strDir = nEnd == nStart ? "." : strPath.substr(nStart, nEnd - nStart);
        if (runnable(strDir + "/" + strTool))
        {
            return "";
        }
        nStart = nEnd + 1;
    }
    return "not found in PATH";
}

// The tasks of the tool but its main thread: each one's allowed CPUs and the CPU it last ran on.
std::vector<SWorker> ReadWorkers(pid_t nPid)
{
    std::vector<SWorker> vWorkers;
    const std::string strTasks = "/proc/" + std::to_string(nPid) + "/task";
    for (const std::string& strTid : Entries(strTasks, "", ""))
    {
        if (strTid == "." || strTid == ".." || strTid == std::to_string(nPid))
        {
            continue;
        }
        char acBuf[4096];
        const ssize_t cb = CPFSystem::ReadSmallFile((strTasks + "/" + strTid + "/stat").c_str(), acBuf, sizeof(acBuf));
        if (cb <= 0)
        {
            continue;  // ended since the directory was read
        }
        // Field 39 is the CPU it last ran on, counted after the command name, which may hold spaces.
        const std::string strStat(acBuf, static_cast<size_t>(cb));
        const size_t nClose = strStat.rfind(") ");
        std::vector<std::string> vFields;
        for (size_t n = nClose == std::string::npos ? strStat.size() : nClose + 2; n < strStat.size();)
        {
            const size_t nEnd = std::min(strStat.find_first_of(" \n", n), strStat.size());
            vFields.push_back(strStat.substr(n, nEnd - n));
            n = nEnd + 1;
        }
        SWorker worker;
        worker.strLastCPU = vFields.size() > 36 ? vFields[36] : "";
        std::string strStatus;
        const ssize_t cbStatus = CPFSystem::ReadSmallFile((strTasks + "/" + strTid + "/status").c_str(), acBuf, sizeof(acBuf));
        strStatus.assign(acBuf, cbStatus > 0 ? static_cast<size_t>(cbStatus) : 0);
        const size_t nKey = strStatus.find("\nCpus_allowed_list:");
        if (nKey != std::string::npos)
        {
            const size_t nValue = strStatus.find_first_not_of(" \t", nKey + 19);
            worker.strAllowed = strStatus.substr(nValue, strStatus.find('\n', nValue) - nValue);
        }
        vWorkers.push_back(worker);
    }
    return vWorkers;
}

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

const char kUsage[] = "usage: hogspin-check [--results FILE] CPU THREADS SETTLE [HOGSPIN]\n";

} // namespace

int main(int argc, char** argv)
{
    HoldStandardDescriptors();
    // Signals are taken synchronously, from a descriptor, at the waits: nothing races a
    // handler. One that was ignored on entry (nohup, a script's background job) stays so.
    sigset_t sigTaken;
    sigemptyset(&sigTaken);
    sigaddset(&sigTaken, SIGCHLD);
    for (const auto& stop : kStopSignals)
    {
        struct sigaction sa;
        if (sigaction(stop.nSignal, nullptr, &sa) == 0 && sa.sa_handler != SIG_IGN)
        {
            sigaddset(&sigTaken, stop.nSignal);
        }
    }
    sigprocmask(SIG_BLOCK, &sigTaken, &g_sigOwn);
    // What the tool's children leave behind stays below the check, to be ended with it.
    (void)CPFSystem::BecomeSubreaper();
    g_hSignal = CPFSystem::CreateSignalHandle(sigTaken);
    g_hTimer = CPFSystem::CreateWaitableTimer();

    std::vector<std::string> vArgs(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::string strResults;
    if (!vArgs.empty() && (vArgs[0] == "--help" || vArgs[0] == "-h"))
    {
        Say(kUsage, sizeof(kUsage) - 1);
        return 0;
    }
    if (vArgs.size() >= 2 && vArgs[0] == "--results")
    {
        strResults = vArgs[1];
        vArgs.erase(vArgs.begin(), vArgs.begin() + 2);
        g_hResults = open(strResults.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (g_hResults < 0)
        {
            FailAll(2, "cannot check: cannot write the results to '" + strResults + "': " + std::strerror(errno));
        }
    }
    std::string strWhy;
    if (g_hSignal < 0 || g_hTimer < 0)
    {
        FailAll(1, std::string("cannot check: no signal or timer descriptor: ") + std::strerror(errno));
    }
    if (!ParseParams(vArgs, [](const char* pszName) -> const char* { return std::getenv(pszName); }, &g_params, &strWhy))
    {
        FailAll(2, "cannot check: " + strWhy);
    }
    const std::string strStartable = WhyNotStartable(g_params.strHogspin);
    if (!strStartable.empty())
    {
        FailAll(1, "cannot start '" + g_params.strHogspin + "': " + strStartable);
    }

    SSoakSetup setup;
    setup.nCPU = g_params.nCPU;
    setup.usAsked = static_cast<tint64>(g_params.nSamples) * g_params.msInterval * 1000;
    setup.usInterval = g_params.msInterval * 1000;
    setup.limMaxTemp = g_params.limMaxTemp;
    setup.limMinFreq = g_params.limMinFreq;
    setup.limMaxPower = g_params.limMaxPower;
    setup.strPowerMeter = g_params.strPowerMeter;
    setup.nTicksPerSecond = static_cast<int>(sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100);
    setup.vSensors = NameSensors(FindSensors(g_params.strSysfs));
    if (!g_params.strPowerMeter.empty())
    {
        std::string strMeters;
        bool bFound = false;
        for (const SSensor& sensor : setup.vSensors)
        {
            if (sensor.eKind == ESensorKind::Power)
            {
                bFound = bFound || sensor.strName == g_params.strPowerMeter;
                strMeters += (strMeters.empty() ? "" : ", ") + sensor.strName;
            }
        }
        if (!bFound)
        {
            FailAll(2, "cannot check: POWER_METER=" + g_params.strPowerMeter + " names no power meter of this board, which has " +
                           (strMeters.empty() ? std::string("none") : strMeters));
        }
    }
    SSampler sampler;
    const std::string strCPUDir = g_params.strSysfs + "/devices/system/cpu/cpu" + std::to_string(g_params.nCPU) + "/cpufreq";
    sampler.vcText.resize(16384);
    // cpufreq's time_in_state, where it has one: its clocks are fixed for the soak.
    sampler.hStates = CPFSystem::CreateFile((strCPUDir + "/stats/time_in_state").c_str());
    tint64 allKHz[64], allTime[64];
    const ssize_t cbStates = sampler.hStates >= 0 ? CPFSystem::ReadFileAt(sampler.hStates, sampler.vcText.data(), sampler.vcText.size()) : -1;
    const size_t nStates = cbStates > 0 ? ParseTimeInState(sampler.vcText.data(), sampler.vcText.data() + cbStates, allKHz, allTime, 64) : 0;
    SSoakTrace trace;
    if (!trace.Reserve(g_params.nBaseline + g_params.nSamples + 1, setup.vSensors.size(), nStates))
    {
        FailAll(2, "cannot check: " + std::to_string(g_params.nBaseline + g_params.nSamples + 1) + " samples of " +
                       std::to_string(4 + setup.vSensors.size() + nStates) +
                       " figures each would take more than 256 MiB: a longer INTERVAL takes fewer");
    }
    trace.nBaseline = g_params.nBaseline;
    trace.vllStateKHz.assign(allKHz, allKHz + nStates);
    sampler.hStat = CPFSystem::CreateFile("/proc/stat");
    sampler.strStatKey = "\ncpu" + std::to_string(g_params.nCPU) + " ";
    // /proc/stat grows with the CPUs: sized once, with room, so that a sample allocates nothing.
    sampler.vcStat.resize(65536);
    while (sampler.hStat >= 0 && sampler.vcStat.size() < (64U << 20) &&
           CPFSystem::ReadFileAt(sampler.hStat, sampler.vcStat.data(), sampler.vcStat.size()) ==
               static_cast<ssize_t>(sampler.vcStat.size()))
    {
        sampler.vcStat.resize(2 * sampler.vcStat.size());
    }
    sampler.hFreq = CPFSystem::CreateFile((strCPUDir + "/scaling_cur_freq").c_str());
    for (const SSensor& sensor : setup.vSensors)
    {
        sampler.vhSensors.push_back(CPFSystem::CreateFile((g_params.strSysfs + "/" + sensor.strPath).c_str()));
    }
    sampler.vcLine.resize(128 + 40 * setup.vSensors.size());

    // Which board this is, so that a log says so without the job around it: the device tree's
    // model (NUL-terminated) or the firmware's product name, the kernel, the host, and BOARD.
    utsname uts;
    const bool bUname = uname(&uts) == 0;
    std::string strModel = FirstLine(g_params.strSysfs + "/firmware/devicetree/base/model");
    strModel = strModel.substr(0, strModel.find('\0'));
    if (strModel.empty())
    {
        strModel = FirstLine(g_params.strSysfs + "/class/dmi/id/product_name");
    }
    const char* pszBoard = std::getenv("BOARD");
    Say(BoardLine(strModel, bUname ? uts.release : "", bUname ? uts.nodename : "", pszBoard == nullptr ? "" : pszBoard));
    Say(TraceHeader(setup));
    Say(LimitsLine(setup));

    // The baseline: the board at rest, at the soak's INTERVAL, before the tool starts at t = 0.
    const tuint64 qwIntervalNs = static_cast<tuint64>(g_params.msInterval) * 1000000U;
    const tuint64 qwStartNs = CPFSystem::QueryTickCountNs() + g_params.nBaseline * qwIntervalNs;
    for (size_t k = 0; k < g_params.nBaseline; ++k)
    {
        while (!WaitUntil(qwStartNs - (g_params.nBaseline - k) * qwIntervalNs))
        {
        }
        TakeSample(setup, sampler, trace, qwStartNs);
        Say(sampler.vcLine.data(), FormatTraceLine(setup, trace, trace.nSamples - 1, sampler.vcLine.data(), sampler.vcLine.size()));
    }
    while (!WaitUntil(qwStartNs))
    {
    }

    // The tool, in a process group of its own, its output on pipes.
    FDHANDLE hOutWrite = -1;
    FDHANDLE hErrWrite = -1;
    if (!CPFSystem::CreatePipe(&g_tool.hOut, &hOutWrite) || !CPFSystem::CreatePipe(&g_tool.hErr, &hErrWrite))
    {
        FailAll(1, std::string("cannot start '") + g_params.strHogspin + "': no pipe: " + std::strerror(errno));
    }
    std::string strCPU = std::to_string(g_params.nCPU);
    std::string strThreads = std::to_string(g_params.nThreads);
    std::string strTool = g_params.strHogspin;
    char* apszArgv[] = {&strTool[0], &strCPU[0], &strThreads[0], nullptr};
    sigset_t sigDefault;
    sigemptyset(&sigDefault);
    sigaddset(&sigDefault, SIGINT);
    sigaddset(&sigDefault, SIGTERM);
    int iErr = 0;
    const pid_t nPid = CPFSystem::CreateProcess(apszArgv, hOutWrite, hErrWrite, g_sigOwn, sigDefault, &iErr);
    CPFSystem::CloseHandle(hOutWrite);
    CPFSystem::CloseHandle(hErrWrite);
    if (nPid < 0)
    {
        FailAll(1, "cannot start '" + g_params.strHogspin + "': " + std::strerror(iErr));
    }
    g_tool.nPid = nPid;

    // The summary is its first line: up to 10 s for it while the tool runs.
    const tuint64 qwSummaryBound = qwStartNs + 10000000000U;
    for (;;)
    {
        PumpTool();
        Reap();
        if (g_tool.bFirstLine || g_tool.bReaped || CPFSystem::QueryTickCountNs() >= qwSummaryBound)
        {
            break;
        }
        WaitUntil(std::min(qwSummaryBound, CPFSystem::QueryTickCountNs() + 50000000U));
    }
    PumpTool();
    // Ended: whatever it wrote before it went counts, a last line without its newline too.
    const std::string strSummary = g_tool.strFirstLine;
    if (strSummary.empty() && g_tool.bReaped)
    {
        const std::string strErr = Printable(g_tool.strErrLine.substr(0, g_tool.strErrLine.find('\n')));
        FailAll(1, "cannot start '" + g_params.strHogspin + "': it ended at once with status " +
                       std::to_string(g_tool.iStatus) + (strErr.empty() ? "" : ": " + strErr));
    }
    if (!g_tool.bFirstLine && !g_tool.bReaped)
    {
        FailAll(1, "cannot check: '" + g_params.strHogspin + "' printed no summary line in 10 s");
    }
    const std::string strOnline = FirstLine("/sys/devices/system/cpu/online");
    Report(JudgeSummary(strSummary, g_params.nCPU, g_params.nThreads, strOnline.empty() ? "unknown" : strOnline));

    // CPU's cycles through the soak, whoever ran there: the clock it really ran.
    FDHANDLE hCycles = CPFSystem::OpenCycleCounter(g_params.nCPU);
    const int iCyclesErr = errno;
    tuint64 qwCyclesFirst = 0;
    if (hCycles >= 0 && !CPFSystem::ReadCycleCounter(hCycles, &qwCyclesFirst))
    {
        CPFSystem::CloseHandle(hCycles);
        setup.strNoCycles = "CPU " + strCPU + "'s cycle counter opened but could not be read";
    }
    else if (hCycles < 0)
    {
        const std::string strParanoid = FirstLine("/proc/sys/kernel/perf_event_paranoid");
        setup.strNoCycles = iCyclesErr == EACCES || iCyclesErr == EPERM
                                ? "not permitted to count CPU " + strCPU + "'s cycles: perf_event_paranoid is " +
                                      (strParanoid.empty() ? std::string("unknown") : strParanoid) +
                                      " (0 or less allows it, as do root and CAP_PERFMON)"
                            : iCyclesErr == ENOSYS ? std::string("this kernel has no perf events")
                            : iCyclesErr == ENOENT || iCyclesErr == EOPNOTSUPP
                                ? "no hardware cycle counter here (a virtual machine without a PMU?)"
                            : iCyclesErr == ENODEV || iCyclesErr == EINVAL
                                ? "CPU " + strCPU + "'s cycles cannot be counted: it is not online, or has no cycle counter"
                                : "CPU " + strCPU + "'s cycles cannot be counted: " + std::strerror(iCyclesErr);
    }

    // The soak: a first sample at its start, then one every INTERVAL, to fixed deadlines.
    // UNTIL_STEADY looks for a steady board whenever the soak has grown a twentieth.
    const tuint64 qwFirstNs = CPFSystem::QueryTickCountNs();
    // The CPU time over the soak of the tool's threads pinned to CPU K, all it started
    // included: the load it put there.
    tuint64 qwToolFirst = 0;
    const bool bToolFirst = CPFSystem::QueryTreeCpuNs(getpid(), g_params.nCPU, &qwToolFirst);
    const tuint64 qwToolFirstAt = CPFSystem::QueryTickCountNs();
    size_t nNextLook = 10;
    for (size_t k = 0; k <= g_params.nSamples; ++k)
    {
        while (k > 0 && !WaitUntil(qwFirstNs + k * qwIntervalNs))
        {
        }
        TakeSample(setup, sampler, trace, qwStartNs);
        Say(sampler.vcLine.data(), FormatTraceLine(setup, trace, trace.nSamples - 1, sampler.vcLine.data(), sampler.vcLine.size()));
        std::string strSteady;
        if (g_params.bUntilSteady && k >= nNextLook && k < g_params.nSamples)
        {
            nNextLook = k + std::max<size_t>(1, k / 20);
            if (SoakIsSteady(setup, trace, &strSteady))
            {
                setup.strEnded = "ended at " + ShowFixed(trace.vllTimeUs[trace.nSamples - 1] / 1000, 3, 1) + " s of the " +
                                 ShowFixed(g_params.msSettle, 3, 0) + " s asked, when steady: " + strSteady;
                setup.usAsked = static_cast<tint64>(k) * g_params.msInterval * 1000;
                break;
            }
        }
    }
    tuint64 qwToolLast = 0;
    setup.bToolNs = bToolFirst && CPFSystem::QueryTreeCpuNs(getpid(), g_params.nCPU, &qwToolLast) && qwToolLast >= qwToolFirst;
    setup.llToolNs = static_cast<tint64>(qwToolLast - qwToolFirst);
    setup.usToolSpan = static_cast<tint64>((CPFSystem::QueryTickCountNs() - qwToolFirstAt) / 1000);
    if (g_params.bUntilSteady && setup.strEnded.empty())
    {
        setup.strEnded = "not steady by SETTLE";
    }
    tuint64 qwCyclesLast = 0;
    if (hCycles >= 0)
    {
        setup.bCycles = CPFSystem::ReadCycleCounter(hCycles, &qwCyclesLast) && qwCyclesLast >= qwCyclesFirst;
        setup.qwCycles = qwCyclesLast - qwCyclesFirst;
        setup.strNoCycles = setup.bCycles ? "" : "CPU " + strCPU + "'s cycle counter could not be read at the soak's end";
        CPFSystem::CloseHandle(hCycles);
    }
    Say(FitLines(setup, trace));

    Reap();
    Report(JudgePinned(g_tool.bReaped ? std::vector<SWorker>() : ReadWorkers(g_tool.nPid), g_params.nCPU, g_params.nThreads));
    for (const SCase& c : JudgeSoak(setup, trace))
    {
        Report(c);
    }
    const SStop stop = EndTool(true);
    AnswerLateSignal();
    Report(JudgeStop(stop, g_params.nCPU));
    return g_bFailed ? 1 : 0;
}
