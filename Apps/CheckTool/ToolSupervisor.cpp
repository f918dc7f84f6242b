// SPDX-License-Identifier: MIT
// Starts, pumps, reaps and ends the tool; takes the check's signals at its waits.
#include "ToolSupervisor.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// The signals that end the check, and the tool with it, each with its name.
const struct
{
    int nSignal;
    const char* pszName;
} kStopSignals[] = {{SIGINT, "INT"},   {SIGTERM, "TERM"}, {SIGHUP, "HUP"},       {SIGPIPE, "PIPE"},
                    {SIGQUIT, "QUIT"}, {SIGALRM, "ALRM"}, {SIGUSR1, "USR1"},      {SIGUSR2, "USR2"},
                    {SIGXCPU, "XCPU"}, {SIGXFSZ, "XFSZ"}, {SIGVTALRM, "VTALRM"}, {SIGPROF, "PROF"},
                    {SIGPWR, "PWR"}};

// What the tool wrote is kept up to this much: its first line and its last are what count.
const size_t kToolOutputKept = 65536;
const size_t kFirstLineKept = 4096;
const tuint64 kToolOutputRead = 1U << 20;

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

bool IsDirectory(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

bool CToolSupervisor::Open()
{
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
    sigprocmask(SIG_BLOCK, &sigTaken, &m_sigOwn);
    // What the tool's children leave behind stays below the check, to be ended with it.
    (void)CPFSystem::BecomeSubreaper();
    m_hSignal = CPFSystem::CreateSignalHandle(sigTaken);
    m_hTimer = CPFSystem::CreateWaitableTimer();
    return m_hSignal >= 0 && m_hTimer >= 0;
}

void CToolSupervisor::SetStopBound(tint64 usBound, const std::string& strBound)
{
    m_usStopBound = usBound;
    m_strStopBound = strBound;
}

std::string CToolSupervisor::WhyNotStartable(const std::string& strTool)
{
    const auto runnable = [](const std::string& strPath) { return !IsDirectory(strPath) && access(strPath.c_str(), X_OK) == 0; };
    if (strTool.find('/') != std::string::npos)
    {
        struct stat st;
        return lstat(strTool.c_str(), &st) != 0 ? "not found" : runnable(strTool) ? "" : "not executable";
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

std::string CToolSupervisor::Start(const std::vector<std::string>& vArgv)
{
    FDHANDLE hOutWrite = -1;
    FDHANDLE hErrWrite = -1;
    STool tool;
    if (!CPFSystem::CreatePipe(&tool.hOut, &hOutWrite) || !CPFSystem::CreatePipe(&tool.hErr, &hErrWrite))
    {
        const int iErr = errno;
        CPFSystem::CloseHandle(tool.hOut);
        CPFSystem::CloseHandle(hOutWrite);
        return std::string("no pipe: ") + std::strerror(iErr);
    }
    std::vector<std::string> vCopy = vArgv;
    std::vector<char*> vpszArgv;
    for (std::string& str : vCopy)
    {
        vpszArgv.push_back(&str[0]);
    }
    vpszArgv.push_back(nullptr);
    sigset_t sigDefault;
    sigemptyset(&sigDefault);
    sigaddset(&sigDefault, SIGINT);
    sigaddset(&sigDefault, SIGTERM);
    int iErr = 0;
    const pid_t nPid = CPFSystem::CreateProcess(vpszArgv.data(), hOutWrite, hErrWrite, m_sigOwn, sigDefault, &iErr);
    CPFSystem::CloseHandle(hOutWrite);
    CPFSystem::CloseHandle(hErrWrite);
    if (nPid < 0)
    {
        CPFSystem::CloseHandle(tool.hOut);
        CPFSystem::CloseHandle(tool.hErr);
        return std::strerror(iErr);
    }
    tool.nPid = nPid;
    m_vTools.push_back(std::move(tool));
    m_vFds.resize(2 + 2 * m_vTools.size());
    return "";
}

// Reaps every child that has ended: the tool, and whatever of its tree this check adopted.
void CToolSupervisor::Reap()
{
    int iStatus = 0;
    for (pid_t nDone; (nDone = CPFSystem::ReapAnyChild(&iStatus)) != 0;)
    {
        for (STool& tool : m_vTools)
        {
            if (nDone == tool.nPid && !tool.bReaped)
            {
                tool.bReaped = true;
                tool.iStatus = WIFSIGNALED(iStatus) ? 128 + WTERMSIG(iStatus) : WEXITSTATUS(iStatus);
            }
        }
    }
}

bool CToolSupervisor::Reaped(size_t iTool)
{
    Reap();
    // One no longer held was reaped at an End.
    return iTool >= m_vTools.size() || m_vTools[iTool].bReaped;
}

int CToolSupervisor::FirstEnded()
{
    // Only a SIGCHLD taken since the last look can have ended one: a sample costs no wait4.
    if (!m_bChildSignal)
    {
        return -1;
    }
    m_bChildSignal = false;
    Reap();
    for (size_t i = 0; i < m_vTools.size(); ++i)
    {
        if (m_vTools[i].bReaped)
        {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool CToolSupervisor::AllReaped() const
{
    return std::all_of(m_vTools.begin(), m_vTools.end(), [](const STool& tool) { return tool.bReaped; });
}

// Reads what one of the tool's pipes holds now, 64 KiB at most, so that a tool that writes
// without end cannot hold the check here; a pipe at its end is closed. Its first line is the
// text up to its first newline, or its first 4 KiB.
void CToolSupervisor::PumpPipe(STool& tool, bool bErr)
{
    FDHANDLE& hPipe = bErr ? tool.hErr : tool.hOut;
    char acBuf[4096];
    for (int nReads = 0; hPipe >= 0 && nReads < 16; ++nReads)
    {
        const ssize_t cb = read(hPipe, acBuf, sizeof(acBuf));
        if (cb < 0 && (errno == EINTR || errno == EAGAIN))
        {
            if (errno == EAGAIN)
            {
                break;
            }
            continue;
        }
        if (cb <= 0)
        {
            CPFSystem::CloseHandle(hPipe);
            break;
        }
        const size_t cch = static_cast<size_t>(cb);
        // hogspin writes two lines: a flood is read no further, or it would keep the check,
        // and a CPU, busy through the soak.
        tuint64& qwBytes = bErr ? tool.qwErrBytes : tool.qwOutBytes;
        qwBytes += cch;
        if (bErr)
        {
            tool.strErrLine.append(acBuf, std::min(cch, kFirstLineKept - std::min(kFirstLineKept, tool.strErrLine.size())));
        }
        else
        {
            if (!tool.bFirstLine)
            {
                const char* pNewline = std::find(acBuf, acBuf + cch, '\n');
                tool.strFirstLine.append(acBuf, static_cast<size_t>(pNewline - acBuf));
                tool.bFirstLine = pNewline != acBuf + cch || tool.strFirstLine.size() >= kFirstLineKept;
                tool.strFirstLine.resize(std::min(tool.strFirstLine.size(), kFirstLineKept));
            }
            tool.strOut.append(acBuf, cch);
            if (tool.strOut.size() > 2 * kToolOutputKept)
            {
                tool.strOut.erase(0, tool.strOut.size() - kToolOutputKept);
            }
        }
        if (qwBytes > kToolOutputRead)
        {
            CPFSystem::CloseHandle(hPipe);
        }
    }
}

void CToolSupervisor::Pump()
{
    for (STool& tool : m_vTools)
    {
        PumpPipe(tool, false);
        PumpPipe(tool, true);
    }
}

bool CToolSupervisor::WaitUntil(tuint64 qwDueNs, bool bAnswerSignals)
{
    if (!CPFSystem::SetWaitableTimer(m_hTimer, qwDueNs))
    {
        return true;
    }
    // The array was sized as the tools were started: a wait allocates nothing.
    m_vFds.resize(std::max<size_t>(2, m_vFds.size()));
    m_vFds[0] = {m_hSignal, POLLIN, 0};
    m_vFds[1] = {m_hTimer, POLLIN, 0};
    for (size_t i = 0; i < m_vTools.size(); ++i)
    {
        m_vFds[2 + 2 * i] = {m_vTools[i].hOut, POLLIN, 0};
        m_vFds[3 + 2 * i] = {m_vTools[i].hErr, POLLIN, 0};
    }
    if (CPFSystem::WaitForMultipleObjects(m_vFds.data(), m_vFds.size(), -1) < 0)
    {
        return CPFSystem::QueryTickCountNs() >= qwDueNs;
    }
    // Only what is ready is read: a sample's wait costs one poll.
    if (std::any_of(m_vFds.begin() + 2, m_vFds.end(), [](const pollfd& fd) { return fd.revents != 0; }))
    {
        Pump();
    }
    if (m_vFds[0].revents != 0)
    {
        AnswerSignals(bAnswerSignals);
    }
    if (m_vFds[1].revents == 0)
    {
        return CPFSystem::QueryTickCountNs() >= qwDueNs;
    }
    CPFSystem::ResetWaitableTimer(m_hTimer);
    return true;
}

void CToolSupervisor::AnswerSignals(bool bAnswerSignals)
{
    for (int nSignal; (nSignal = CPFSystem::ReadSignal(m_hSignal)) != 0;)
    {
        m_bChildSignal = m_bChildSignal || nSignal == SIGCHLD;
        if (nSignal == SIGCHLD || !bAnswerSignals)
        {
            continue;
        }
        // The stop under way goes on to its bound; the signal is answered once it is over.
        if (m_bEnding)
        {
            m_nLateSignal = m_nLateSignal == 0 ? nSignal : m_nLateSignal;
            continue;
        }
        StopBySignal(nSignal);
    }
}

void CToolSupervisor::WaitForFirstLine(tuint64 qwBoundNs)
{
    for (;;)
    {
        Pump();
        Reap();
        const bool bAll = std::all_of(m_vTools.begin(), m_vTools.end(), [](const STool& tool) { return tool.bFirstLine || tool.bReaped; });
        if (bAll || CPFSystem::QueryTickCountNs() >= qwBoundNs)
        {
            break;
        }
        WaitUntil(std::min(qwBoundNs, CPFSystem::QueryTickCountNs() + 50000000U));
    }
    // Ended: whatever it wrote before it went counts, a last line without its newline too.
    Pump();
}

std::string CToolSupervisor::ErrorLine(size_t iTool) const
{
    const std::string& strErr = m_vTools[iTool].strErrLine;
    return strErr.substr(0, strErr.find('\n'));
}

std::vector<SWorker> CToolSupervisor::ReadWorkers(size_t iTool)
{
    std::vector<SWorker> vWorkers;
    if (iTool >= m_vTools.size() || Reaped(iTool))
    {
        return vWorkers;
    }
    const pid_t nTool = m_vTools[iTool].nPid;
    std::vector<pid_t> vTasks;
    CPFSystem::ListProcEntries(("/proc/" + std::to_string(nTool) + "/task").c_str(), &vTasks);
    std::sort(vTasks.begin(), vTasks.end());
    for (const pid_t nTid : vTasks)
    {
        STaskInfo task;
        // Its tasks but its main thread; one that ended since the directory was read is gone.
        if (nTid != nTool && CPFSystem::QueryTask(nTool, nTid, kTaskLastCPU, &task))
        {
            vWorkers.push_back(SWorker{task.strAllowed, task.nLastCPU < 0 ? "" : std::to_string(task.nLastCPU)});
        }
    }
    return vWorkers;
}

// SIGINT or SIGKILL to each tool's group while it has not been reaped (its number may be
// another's after that), and to every process below the check, which adopts what the tools'
// own children leave behind.
void CToolSupervisor::SignalTree(int nSignal, std::vector<pid_t>& vTree)
{
    for (const STool& tool : m_vTools)
    {
        if (!tool.bReaped)
        {
            CPFSystem::SignalProcessGroup(tool.nPid, nSignal);
        }
    }
    ListTree(vTree);
    for (const pid_t nPid : vTree)
    {
        CPFSystem::SignalProcess(nPid, nSignal);
    }
}

void SayError(const std::string& str)
{
    // Nothing more can be done about a standard error that cannot be written.
    (void)CPFSystem::WriteFile(STDERR_FILENO, str.data(), str.size());
}

void CToolSupervisor::HoldStill(bool bStill)
{
    std::vector<pid_t> vTree;
    SignalTree(bStill ? SIGSTOP : SIGCONT, vTree);
    m_bStill = bStill;
}

void CToolSupervisor::HoldStill(bool bStill, size_t iTool)
{
    if (iTool < m_vTools.size() && !m_vTools[iTool].bReaped)
    {
        CPFSystem::SignalProcessGroup(m_vTools[iTool].nPid, bStill ? SIGSTOP : SIGCONT);
    }
    // Any tool stopped is continued by the stop.
    m_bStill = m_bStill || bStill;
}

void CToolSupervisor::HoldTree()
{
    std::vector<pid_t> vTree;
    CPFSystem::ListDescendants(getpid(), &vTree);
    for (const pid_t nPid : vTree)
    {
        STaskInfo info;
        const bool bHeld = std::any_of(m_vHeld.begin(), m_vHeld.end(), [&](const auto& held) { return held.first == nPid; });
        if (!bHeld && CPFSystem::QueryTask(nPid, 0, kTaskStartTime, &info))
        {
            m_vHeld.emplace_back(nPid, info.qwStartTicks);
        }
    }
}

// The processes below the check, and every one it ever held that still runs: the check's
// own reaping keeps its tree whole, but one that is not below it any more (a subreaper that
// could not be had) is no less the tool's.
void CToolSupervisor::ListTree(std::vector<pid_t>& vTree)
{
    CPFSystem::ListDescendants(getpid(), &vTree);
    for (const auto& held : m_vHeld)
    {
        if (std::find(vTree.begin(), vTree.end(), held.first) == vTree.end() && CPFSystem::IsProcessLive(held.first, held.second))
        {
            vTree.push_back(held.first);
        }
    }
}

std::vector<SStop> CToolSupervisor::End(bool bAnswerSignals)
{
    if (m_fnUndo)
    {
        const std::function<void()> fnUndo = std::move(m_fnUndo);
        m_fnUndo = nullptr;
        fnUndo();
    }
    std::vector<SStop> vStops(m_vTools.size());
    if (m_vTools.empty())
    {
        return vStops;
    }
    m_bEnding = true;
    std::vector<pid_t> vTree;
    Reap();
    for (size_t i = 0; i < m_vTools.size(); ++i)
    {
        vStops[i].bSignalled = !m_vTools[i].bReaped;
    }
    HoldTree();
    const tuint64 qwBound = CPFSystem::QueryTickCountNs() + static_cast<tuint64>(m_usStopBound) * 1000U;
    SignalTree(SIGINT, vTree);
    if (m_bStill)
    {
        // Stopped, they take SIGINT once they continue.
        HoldStill(false);
    }
    for (tuint64 qwNow = CPFSystem::QueryTickCountNs(); qwNow < qwBound; qwNow = CPFSystem::QueryTickCountNs())
    {
        Reap();
        ListTree(vTree);
        if (AllReaped() && vTree.empty())
        {
            break;
        }
        // SIGCHLD wakes the wait for a child; the rest of the tree is looked at every 20 ms.
        WaitUntil(std::min(qwBound, qwNow + 20000000U), bAnswerSignals);
    }
    Reap();
    ListTree(vTree);
    if (!AllReaped() || !vTree.empty())
    {
        // A tool left running is killed, its group with it; one that ended while what it
        // started outlived the bound is said to have left that behind: found by its group,
        // which a tool's children keep unless they leave it, and then laid to every tool.
        for (size_t i = 0; i < m_vTools.size(); ++i)
        {
            vStops[i].bKilled = !m_vTools[i].bReaped;
        }
        for (const pid_t nLeft : vTree)
        {
            const pid_t nGroup = CPFSystem::QueryProcessGroup(nLeft);
            const bool bOwned = std::any_of(m_vTools.begin(), m_vTools.end(), [&](const STool& tool) { return tool.nPid == nGroup; });
            for (size_t i = 0; i < m_vTools.size(); ++i)
            {
                vStops[i].bTreeKilled = vStops[i].bTreeKilled || (m_vTools[i].bReaped && (!bOwned || m_vTools[i].nPid == nGroup));
            }
        }
        SignalTree(SIGKILL, vTree);
        // SIGKILL ends a task at once, but for one stuck in the kernel: not wait for ever.
        const tuint64 qwKilled = CPFSystem::QueryTickCountNs() + 5000000000U;
        while ((!AllReaped() || !vTree.empty()) && CPFSystem::QueryTickCountNs() < qwKilled)
        {
            WaitUntil(CPFSystem::QueryTickCountNs() + 10000000U, false);
            Reap();
            ListTree(vTree);
        }
    }
    Pump();
    for (size_t i = 0; i < m_vTools.size(); ++i)
    {
        STool& tool = m_vTools[i];
        SStop& stop = vStops[i];
        stop.strBound = m_strStopBound;
        stop.iStatus = tool.iStatus;
        // Its last line, with or without a newline at its end.
        std::string strOut = tool.strOut;
        if (!strOut.empty() && strOut.back() == '\n')
        {
            strOut.pop_back();
        }
        stop.strLastLine = strOut.substr(strOut.rfind('\n') == std::string::npos ? 0 : strOut.rfind('\n') + 1);
    }
    // A tool that could not be reaped is signalled again, by its group, at the next End.
    for (STool& tool : m_vTools)
    {
        if (tool.bReaped)
        {
            CPFSystem::CloseHandle(tool.hOut);
            CPFSystem::CloseHandle(tool.hErr);
        }
    }
    m_vTools.erase(std::remove_if(m_vTools.begin(), m_vTools.end(), [](const STool& tool) { return tool.bReaped; }), m_vTools.end());
    m_vFds.resize(2 + 2 * m_vTools.size());
    return vStops;
}

void CToolSupervisor::AnswerLateSignal()
{
    if (m_nLateSignal != 0)
    {
        SayError(std::string("hogspin-check: SIG") + SignalName(m_nLateSignal) + ": stopping\n");
        std::exit(128 + m_nLateSignal);
    }
}

std::string CToolSupervisor::Ending() const
{
    const bool bRunning = std::any_of(m_vTools.begin(), m_vTools.end(), [](const STool& tool) { return !tool.bReaped; });
    return bRunning ? "ending the tool it started and stopping" : "stopping";
}

void CToolSupervisor::StopBySignal(int nSignal)
{
    SayError(std::string("hogspin-check: SIG") + SignalName(nSignal) + ": " + Ending() + "\n");
    (void)End(false);
    std::exit(128 + nSignal);
}

int CToolSupervisor::PendingPipeSignal()
{
    for (int nSignal; m_hSignal >= 0 && (nSignal = CPFSystem::ReadSignal(m_hSignal)) != 0;)
    {
        if (nSignal == SIGPIPE)
        {
            return SIGPIPE;
        }
    }
    return 0;
}
