// SPDX-License-Identifier: MIT
// The built tools run as children of a test: their output on pipes, their signals, what /proc says of them.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AllowedCPUs.h"

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Generous bounds on every wait: they stop a hung child, they do not judge speed.
const milliseconds kOutputTimeout(10000);
const milliseconds kExitTimeout(15000);

#if defined(HOGSPIN_SANITIZED) || defined(HOGSPIN_EMULATOR)
// Sanitizer runtimes and the emulator reserve address ranges and add threads of their own.
const bool kExact = false;
#else
const bool kExact = true;
#endif

// ThreadSanitizer runs a handler for a signal that lands outside an intercepted blocking call
// only later, and under load it has been seen never to run it: the tool slept on with its
// flag set. Only there is the stop signal sent a second time; a native build must stop on
// the first.
#ifdef HOGSPIN_SANITIZED
const bool kResendStop = true;
#else
const bool kResendStop = false;
#endif

#ifdef HOGSPIN_EMULATOR
const char* const kEmulator = HOGSPIN_EMULATOR;  // its words, separated by '|'
#else
const char* const kEmulator = "";
#endif

// What the child sets up before it execs the tool.
struct SChildSetup
{
    rlim_t rlAs = 0;            // non-zero: caps the address space, as prlimit --as would
    bool bBlockStop = false;    // blocks SIGINT and SIGTERM, as a parent that waits for them does
    int nPendingSignal = 0;     // then raises this one, left pending across the exec
    bool bIgnorePipe = false;   // ignores SIGPIPE, as many a caller does, and the exec keeps it so
    bool bSmallPipe = false;    // standard output a pipe of one page, soon full
};

// One run of hogspin; whatever happens, the destructor leaves no process behind.
class CToolRun
{
public:
    CToolRun() = default;
    CToolRun(const CToolRun&) = delete;
    CToolRun& operator=(const CToolRun&) = delete;

    ~CToolRun()
    {
        if (m_nPid > 0)
        {
            // The whole group: a script under test may have started children of its own.
            kill(-m_nPid, SIGKILL);
            kill(m_nPid, SIGKILL);
            waitpid(m_nPid, nullptr, 0);
        }
        CloseFd(m_fdOut);
        CloseFd(m_fdErr);
    }

    // Starts the tool, under the emulator if there is one.
    void Start(const std::vector<std::string>& vArgs, const SChildSetup& setup = SChildSetup())
    {
        std::vector<std::string> vArgv;
        for (const char* p = kEmulator; *p != '\0';)
        {
            const char* pEnd = std::strchr(p, '|');
            vArgv.emplace_back(p, pEnd ? static_cast<size_t>(pEnd - p) : std::strlen(p));
            p = pEnd ? pEnd + 1 : p + std::strlen(p);
        }
        vArgv.emplace_back(HOGSPIN_EXE);
        vArgv.insert(vArgv.end(), vArgs.begin(), vArgs.end());
        StartCommand(vArgv, setup);
    }

    void StartCommand(std::vector<std::string> vArgv, const SChildSetup& setup = SChildSetup())
    {
        std::vector<char*> vpArgv;
        for (std::string& str : vArgv)
        {
            vpArgv.push_back(&str[0]);
        }
        vpArgv.push_back(nullptr);

        int afdOut[2];
        int afdErr[2];
        ASSERT_EQ(pipe2(afdOut, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(afdErr, O_CLOEXEC), 0);
        m_nPid = fork();
        ASSERT_GE(m_nPid, 0);
        if (m_nPid == 0)
        {
            // Only async-signal-safe calls between fork and exec.
            setpgid(0, 0);
            dup2(afdOut[1], STDOUT_FILENO);
            dup2(afdErr[1], STDERR_FILENO);
            if (setup.rlAs != 0)
            {
                // Thread stacks take the stack limit's size: make it known, then leave no room.
                const rlimit rlStack = {8u << 20, 8u << 20};
                const rlimit rlLimit = {setup.rlAs, setup.rlAs};
                setrlimit(RLIMIT_STACK, &rlStack);
                setrlimit(RLIMIT_AS, &rlLimit);
            }
            if (setup.bBlockStop)
            {
                sigset_t sigStop;
                sigemptyset(&sigStop);
                sigaddset(&sigStop, SIGINT);
                sigaddset(&sigStop, SIGTERM);
                sigprocmask(SIG_BLOCK, &sigStop, nullptr);
                if (setup.nPendingSignal != 0)
                {
                    raise(setup.nPendingSignal);
                }
            }
            if (setup.bIgnorePipe)
            {
                signal(SIGPIPE, SIG_IGN);
            }
            if (setup.bSmallPipe)
            {
                fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096);
            }
            execvp(vpArgv[0], vpArgv.data());
            _exit(127);
        }
        close(afdOut[1]);
        close(afdErr[1]);
        m_fdOut = afdOut[0];
        m_fdErr = afdErr[0];
    }

    pid_t Pid() const { return m_nPid; }
    const std::string& Out() const { return m_strOut; }
    const std::string& Err() const { return m_strErr; }
    // When each line of standard output arrived: its timing, as a reader saw it.
    const std::vector<steady_clock::time_point>& LineTimes() const { return m_vtLines; }

    // Waits until standard output holds nLines whole lines.
    bool WaitForLines(size_t nLines)
    {
        return Pump([&] { return static_cast<size_t>(std::count(m_strOut.begin(), m_strOut.end(), '\n')) >= nLines; });
    }

    void Signal(int nSignal) { ASSERT_EQ(kill(m_nPid, nSignal), 0); }

    // The reader of standard output goes away, as `| head -n 1` does.
    void CloseOutput() { CloseFd(m_fdOut); }

    // The reader of standard output stops reading, and waits until the pipe holds all but
    // the room of a line: the writer waits for it.
    bool StallOutput()
    {
        m_bStalled = true;
        const int cbPipe = fcntl(m_fdOut, F_GETPIPE_SZ);
        const auto tDeadline = steady_clock::now() + kOutputTimeout;
        for (int cbHeld = 0; steady_clock::now() < tDeadline; std::this_thread::sleep_for(milliseconds(1)))
        {
            if (ioctl(m_fdOut, FIONREAD, &cbHeld) == 0 && cbHeld > cbPipe - 256)
            {
                return true;
            }
        }
        return false;
    }

    // Reads both pipes to their end: the process has ended, but is not reaped yet. A non-zero
    // nResend is sent again if the tool is still there after a few seconds.
    bool WaitOutputClosed(int nResend = 0, milliseconds msBound = kOutputTimeout)
    {
        const auto bClosed = [&] { return (m_fdOut < 0 || m_bStalled) && m_fdErr < 0; };
        if (nResend != 0 && !Pump(bClosed, milliseconds(3000)))
        {
            Signal(nResend);
        }
        return Pump(bClosed, msBound);
    }

    // Reads both pipes to their end and reaps the process; false if it outlived the bound.
    bool WaitExit(int* piStatus, int nResend = 0, milliseconds msBound = kOutputTimeout)
    {
        if (!WaitOutputClosed(nResend, msBound))
        {
            return false;
        }
        const auto tDeadline = steady_clock::now() + kExitTimeout;
        while (steady_clock::now() < tDeadline)
        {
            const pid_t nDone = waitpid(m_nPid, piStatus, WNOHANG);
            if (nDone == m_nPid)
            {
                m_nPid = 0;
                return true;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        return false;
    }

private:
    static void CloseFd(int& fd)
    {
        if (fd >= 0)
        {
            close(fd);
            fd = -1;
        }
    }

    // Reads whatever the pipes offer until bDone() holds or the output bound runs out.
    template <typename F>
    bool Pump(F bDone, milliseconds msBound = kOutputTimeout)
    {
        const auto tDeadline = steady_clock::now() + msBound;
        while (!bDone())
        {
            const auto msLeft = std::chrono::duration_cast<milliseconds>(tDeadline - steady_clock::now()).count();
            if (msLeft <= 0)
            {
                return false;
            }
            pollfd apfd[2] = {{m_bStalled ? -1 : m_fdOut, POLLIN, 0}, {m_fdErr, POLLIN, 0}};
            if (poll(apfd, 2, static_cast<int>(msLeft)) < 0 && errno != EINTR)
            {
                return false;
            }
            const size_t cchOut = m_strOut.size();
            ReadReady(apfd[0], m_fdOut, m_strOut);
            const auto nLines = std::count(m_strOut.begin() + static_cast<std::ptrdiff_t>(cchOut), m_strOut.end(), '\n');
            m_vtLines.resize(m_vtLines.size() + static_cast<size_t>(nLines), steady_clock::now());
            ReadReady(apfd[1], m_fdErr, m_strErr);
        }
        return true;
    }

    static void ReadReady(const pollfd& pfd, int& fd, std::string& strTo)
    {
        if (fd < 0 || (pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
        {
            return;
        }
        char acBuf[4096];
        const ssize_t cb = read(fd, acBuf, sizeof(acBuf));
        if (cb > 0)
        {
            strTo.append(acBuf, static_cast<size_t>(cb));
        }
        else if (cb == 0 || errno != EINTR)
        {
            CloseFd(fd);
        }
    }

    pid_t m_nPid = 0;
    bool m_bStalled = false;
    int m_fdOut = -1;
    int m_fdErr = -1;
    std::string m_strOut;
    std::string m_strErr;
    std::vector<steady_clock::time_point> m_vtLines;
};

inline std::string StatusField(const std::string& strPath, const std::string& strField)
{
    std::ifstream file(strPath);
    std::string strLine;
    while (std::getline(file, strLine))
    {
        if (strLine.compare(0, strField.size() + 1, strField + ":") == 0)
        {
            const size_t nStart = strLine.find_first_not_of(" \t", strField.size() + 1);
            return nStart == std::string::npos ? std::string() : strLine.substr(nStart);
        }
    }
    return std::string();
}

// The allowed-CPU lists of every thread of nPid but its main one.
// The entries of a /proc directory, "." and ".." left out.
inline std::vector<std::string> ProcEntries(const std::string& strDir)
{
    std::vector<std::string> vNames;
    if (DIR* pDir = opendir(strDir.c_str()))
    {
        while (const dirent* pEntry = readdir(pDir))
        {
            if (pEntry->d_name[0] != '.')
            {
                vNames.emplace_back(pEntry->d_name);
            }
        }
        closedir(pDir);
    }
    return vNames;
}

inline std::vector<std::string> OtherThreadsAffinity(pid_t nPid)
{
    std::vector<std::string> vLists;
    const std::string strTasks = "/proc/" + std::to_string(nPid) + "/task";
    for (const std::string& strTid : ProcEntries(strTasks))
    {
        if (strTid != std::to_string(nPid))
        {
            vLists.push_back(StatusField(strTasks + "/" + strTid + "/status", "Cpus_allowed_list"));
        }
    }
    return vLists;
}

// {K}: the last CPU this process may use; {J}: the first; {ALL}: every one, in the list format;
// {A}: an index below 1024 it may not; {R0}: the ret field expected for CPU 0.
inline std::string Expand(std::string str)
{
    const std::vector<int> vAllowed = AllowedCPUs();
    std::string strAll;
    for (size_t i = 0; i < vAllowed.size(); ++i)
    {
        const bool bInRun = i > 0 && vAllowed[i] == vAllowed[i - 1] + 1;
        const bool bRunGoesOn = i + 1 < vAllowed.size() && vAllowed[i + 1] == vAllowed[i] + 1;
        strAll += bInRun && bRunGoesOn ? "" : (i == 0 ? "" : bInRun ? "-" : ",") + std::to_string(vAllowed[i]);
    }
    const std::pair<const char*, std::string> aSubst[] = {
        {"{K}", std::to_string(vAllowed.back())},
        {"{J}", std::to_string(vAllowed.front())},
        {"{ALL}", strAll},
        {"{A}", std::to_string(HighestUnusableCPU())},
        {"{R0}", IsAllowed(0) ? "1" : "0"},
    };
    for (const auto& subst : aSubst)
    {
        for (size_t n = str.find(subst.first); n != std::string::npos; n = str.find(subst.first))
        {
            str.replace(n, strlen(subst.first), subst.second);
        }
    }
    return str;
}

// The command name of a process and the fields after it, from /proc/PID/stat; the name may
// hold spaces and parentheses. Both empty once the process is gone.
inline std::pair<std::string, std::string> ProcStat(const std::string& strPid)
{
    std::ifstream file("/proc/" + strPid + "/stat");
    std::string strStat;
    std::getline(file, strStat);
    const size_t nOpen = strStat.find('(');
    const size_t nClose = strStat.rfind(')');
    if (nOpen == std::string::npos || nClose == std::string::npos || nClose + 2 > strStat.size())
    {
        return {};
    }
    return {strStat.substr(nOpen + 1, nClose - nOpen - 1), strStat.substr(nClose + 2)};
}

// The children of nParent whose command name is strName.
inline std::vector<pid_t> ChildrenNamed(pid_t nParent, const std::string& strName)
{
    std::vector<pid_t> vChildren;
    for (const std::string& strPid : ProcEntries("/proc"))
    {
        const auto stat = ProcStat(strPid);  // state ppid ...
        if (stat.first == strName && std::stoi(stat.second.substr(2)) == nParent)
        {
            vChildren.push_back(std::stoi(strPid));
        }
    }
    return vChildren;
}

// One of its tasks runs: a zombie leader may have threads that run on.
inline bool IsRunning(pid_t nPid)
{
    const std::string strPid = std::to_string(nPid);
    for (const std::string& strTid : ProcEntries("/proc/" + strPid + "/task"))
    {
        const std::string strFields = ProcStat(strPid + "/task/" + strTid).second;
        if (!strFields.empty() && strFields[0] != 'Z' && strFields[0] != 'X')
        {
            return true;
        }
    }
    return false;
}

// A directory of the test's own under /tmp, removed with all it holds however the test ends.
class CTempDir
{
public:
    CTempDir()
    {
        char szPath[] = "/tmp/hogspin-test.XXXXXX";
        if (mkdtemp(szPath) != nullptr)
        {
            m_strPath = szPath;
        }
    }
    ~CTempDir()
    {
        if (!m_strPath.empty() && system(("rm -rf '" + m_strPath + "'").c_str()) != 0)
        {
            ADD_FAILURE() << "cannot remove " << m_strPath;
        }
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

// The processes below nRoot whose command name is strName.
inline std::vector<pid_t> DescendantsNamed(pid_t nRoot, const std::string& strName)
{
    std::vector<pid_t> vFound = ChildrenNamed(nRoot, strName);
    for (const std::string& strPid : ProcEntries("/proc"))
    {
        const auto stat = ProcStat(strPid);
        if (!stat.first.empty() && stat.first != strName && std::stoi(stat.second.substr(2)) == nRoot)
        {
            const std::vector<pid_t> vBelow = DescendantsNamed(std::stoi(strPid), strName);
            vFound.insert(vFound.end(), vBelow.begin(), vBelow.end());
        }
    }
    return vFound;
}
