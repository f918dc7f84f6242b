// SPDX-License-Identifier: MIT
// CPFSystem on open/pread, fork/exec with process groups, signalfd, timerfd, poll and perf events.
#include "PFSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <limits.h>
#include <linux/perf_event.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

FDHANDLE CPFSystem::CreateFile(const char* pszPath)
{
    return open(pszPath, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

ssize_t CPFSystem::ReadFileAt(FDHANDLE hFile, char* pBuf, size_t cb)
{
    ssize_t cbRead;
    do
    {
        cbRead = pread(hFile, pBuf, cb, 0);
    } while (cbRead < 0 && errno == EINTR);
    return cbRead;
}

ssize_t CPFSystem::ReadSmallFile(const char* pszPath, char* pBuf, size_t cb)
{
    FDHANDLE hFile = CreateFile(pszPath);
    const ssize_t cbRead = hFile >= 0 ? ReadFileAt(hFile, pBuf, cb - 1) : -1;
    CloseHandle(hFile);
    pBuf[cbRead > 0 ? cbRead : 0] = '\0';
    return cbRead;
}

bool CPFSystem::WriteFile(FDHANDLE hFile, const char* pBuf, size_t cb)
{
    while (cb > 0)
    {
        const ssize_t cbDone = write(hFile, pBuf, cb);
        if (cbDone < 0 && errno == EINTR)
        {
            continue;
        }
        if (cbDone <= 0)
        {
            return false;
        }
        pBuf += cbDone;
        cb -= static_cast<size_t>(cbDone);
    }
    return true;
}

int CPFSystem::WriteFileEx(FDHANDLE hFile, const char* pBuf, size_t cb, FDHANDLE hAlert, size_t* pcbDone)
{
    *pcbDone = 0;
    const int iFlags = fcntl(hFile, F_GETFL);
    bool bTry = iFlags >= 0 && (iFlags & O_NONBLOCK) != 0;
    while (*pcbDone < cb)
    {
        pollfd aFds[2] = {{hAlert, POLLIN, 0}, {hFile, POLLOUT, 0}};
        if (!bTry && poll(aFds, 2, -1) < 0 && errno != EINTR)
        {
            return -1;
        }
        if (aFds[0].revents != 0)
        {
            return 0;
        }
        if (!bTry && aFds[1].revents == 0)
        {
            continue;
        }
        // A blocking pipe with a free page takes up to PIPE_BUF bytes at once; POLLERR and
        // POLLHUP are for the write to report.
        const ssize_t cbDone = write(hFile, pBuf + *pcbDone, bTry ? cb - *pcbDone : std::min<size_t>(cb - *pcbDone, PIPE_BUF));
        bTry = iFlags >= 0 && (iFlags & O_NONBLOCK) != 0 && cbDone > 0;
        if (cbDone < 0 && (errno == EINTR || errno == EAGAIN))
        {
            continue;
        }
        if (cbDone <= 0)
        {
            return -1;
        }
        *pcbDone += static_cast<size_t>(cbDone);
    }
    return 1;
}

FDHANDLE CPFSystem::ReOpenFile(FDHANDLE hFile)
{
    struct stat st;
    if (fstat(hFile, &st) != 0 || !S_ISFIFO(st.st_mode))
    {
        return -1;
    }
    // Linux opens the pipe itself anew through /proc, as it would a FIFO by its name.
    char szPath[64];
    std::snprintf(szPath, sizeof(szPath), "/proc/self/fd/%d", hFile);
    return open(szPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

void CPFSystem::CloseHandle(FDHANDLE& hFile)
{
    if (hFile >= 0)
    {
        // Linux releases the descriptor even when close reports an error: never retry it.
        (void)close(hFile);
        hFile = -1;
    }
}

bool CPFSystem::CreatePipe(FDHANDLE* phRead, FDHANDLE* phWrite)
{
    int afd[2];
    if (pipe2(afd, O_CLOEXEC) != 0)
    {
        return false;
    }
    (void)fcntl(afd[0], F_SETFL, O_NONBLOCK);
    *phRead = afd[0];
    *phWrite = afd[1];
    return true;
}

pid_t CPFSystem::CreateProcess(char* const* argv, FDHANDLE hOut, FDHANDLE hErr, const sigset_t& sigMask,
                               const sigset_t& sigDefault, int* piErr)
{
    // The child says why its exec failed through a pipe that a successful exec closes.
    int afdExec[2];
    if (pipe2(afdExec, O_CLOEXEC) != 0)
    {
        *piErr = errno;
        return -1;
    }
    const pid_t nParent = getpid();
    const pid_t nPid = fork();
    if (nPid < 0)
    {
        *piErr = errno;
        close(afdExec[0]);
        close(afdExec[1]);
        return -1;
    }
    if (nPid == 0)
    {
        // Only async-signal-safe calls from here to the exec.
        setpgid(0, 0);
        // A check killed outright (SIGKILL, the OOM killer) cannot end the tool itself.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int iErr = 0;
        if (getppid() != nParent)
        {
            _exit(127);
        }
        if (dup2(hOut, STDOUT_FILENO) < 0 || dup2(hErr, STDERR_FILENO) < 0)
        {
            iErr = errno;
        }
        else
        {
            struct sigaction sa;
            std::memset(&sa, 0, sizeof(sa));
            sa.sa_handler = SIG_DFL;
            for (int nSignal = 1; nSignal < NSIG; ++nSignal)
            {
                if (sigismember(&sigDefault, nSignal) == 1)
                {
                    sigaction(nSignal, &sa, nullptr);
                }
            }
            sigprocmask(SIG_SETMASK, &sigMask, nullptr);
            execvp(argv[0], argv);
            iErr = errno;
        }
        (void)!write(afdExec[1], &iErr, sizeof(iErr));
        _exit(127);
    }
    // Also here: a signal to the group must reach the child even before it has run.
    (void)setpgid(nPid, nPid);
    close(afdExec[1]);
    int iErr = 0;
    ssize_t cb;
    do
    {
        cb = read(afdExec[0], &iErr, sizeof(iErr));
    } while (cb < 0 && errno == EINTR);
    close(afdExec[0]);
    if (cb == static_cast<ssize_t>(sizeof(iErr)))
    {
        int iStatus;
        while (waitpid(nPid, &iStatus, 0) < 0 && errno == EINTR)
        {
        }
        *piErr = iErr;
        return -1;
    }
    return nPid;
}

bool CPFSystem::SignalProcessGroup(pid_t nGroup, int nSignal)
{
    return nGroup > 0 && kill(-nGroup, nSignal) == 0;
}

bool CPFSystem::SignalProcess(pid_t nPid, int nSignal)
{
    return nPid > 0 && kill(nPid, nSignal) == 0;
}

bool CPFSystem::BecomeSubreaper()
{
    return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

namespace
{

// The value after "\nKEY:" in a status text, blanks skipped, up to its line's end.
std::string StatusField(const char* pszText, const char* pszKey)
{
    const char* p = std::strstr(pszText, pszKey);
    if (p == nullptr)
    {
        return std::string();
    }
    p += std::strlen(pszKey);
    p += std::strspn(p, " \t");
    return std::string(p, std::strcspn(p, "\n"));
}

} // namespace

bool CPFSystem::QueryTask(pid_t nPid, pid_t nTid, unsigned uWhat, STaskInfo* pInfo)
{
    char szDir[64];
    if (nTid == 0)
    {
        std::snprintf(szDir, sizeof(szDir), "/proc/%d/", static_cast<int>(nPid));
    }
    else
    {
        std::snprintf(szDir, sizeof(szDir), "/proc/%d/task/%d/", static_cast<int>(nPid), static_cast<int>(nTid));
    }
    const std::string strDir = szDir;
    char acText[4096];
    if (ReadSmallFile((strDir + "status").c_str(), acText, sizeof(acText)) <= 0)
    {
        return false;  // ended meanwhile
    }
    *pInfo = STaskInfo();
    pInfo->cState = StatusField(acText, "\nState:").c_str()[0];
    pInfo->nParent = static_cast<pid_t>(std::atoi(StatusField(acText, "\nPPid:").c_str()));
    pInfo->nThreads = std::atoi(StatusField(acText, "\nThreads:").c_str());
    pInfo->strAllowed = StatusField(acText, "\nCpus_allowed_list:");
    if ((uWhat & kTaskRunTime) != 0 && ReadSmallFile((strDir + "schedstat").c_str(), acText, sizeof(acText)) > 0)
    {
        pInfo->qwRunNs = std::strtoull(acText, nullptr, 10);
        pInfo->bRunNs = true;
        uWhat &= ~kTaskRunTime;
    }
    if ((uWhat & (kTaskLastCPU | kTaskRunTime | kTaskStartTime)) == 0)
    {
        return true;
    }
    // "pid (name) state ...": the name may hold spaces and parentheses. Without schedstat,
    // the run time is utime and stime, in clock ticks; the start is field 22, the last CPU 39.
    const char* pClose = ReadSmallFile((strDir + "stat").c_str(), acText, sizeof(acText)) > 0 ? std::strrchr(acText, ')') : nullptr;
    unsigned long long qwUser = 0, qwSystem = 0, qwStart = 0;
    int nLast = -1;
    if (pClose != nullptr &&
        std::sscanf(pClose + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %*d %*d %*d %*d %*d %*d %llu %*u %*d %*u %*u "
                                "%*u %*u %*u %*u %*u %*u %*u %*u %*u %*u %*u %*d %d",
                    &qwUser, &qwSystem, &qwStart, &nLast) >= 3)
    {
        const long lTicks = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
        pInfo->nLastCPU = nLast;
        pInfo->qwStartTicks = qwStart;
        if ((uWhat & kTaskRunTime) != 0)
        {
            pInfo->qwRunNs = (qwUser + qwSystem) * 1000000000ULL / static_cast<tuint64>(lTicks);
            pInfo->bRunNs = true;
        }
    }
    return true;
}

void CPFSystem::ListProcEntries(const char* pszDir, std::vector<pid_t>* pvIds)
{
    pvIds->clear();
    if (DIR* pDir = opendir(pszDir))
    {
        while (const dirent* pEntry = readdir(pDir))
        {
            if (pEntry->d_name[0] >= '0' && pEntry->d_name[0] <= '9')
            {
                pvIds->push_back(static_cast<pid_t>(std::atoi(pEntry->d_name)));
            }
        }
        closedir(pDir);
    }
}

namespace
{

// A process one of whose tasks runs. A zombie leader may have threads that run on: its
// tasks tell.
bool HasLiveTask(pid_t nPid, const STaskInfo& info)
{
    if (info.cState != 'Z')
    {
        return info.cState != 'X';
    }
    char szTasks[64];
    std::snprintf(szTasks, sizeof(szTasks), "/proc/%d/task", static_cast<int>(nPid));
    std::vector<pid_t> vTasks;
    CPFSystem::ListProcEntries(szTasks, &vTasks);
    for (const pid_t nTid : vTasks)
    {
        STaskInfo task;
        if (CPFSystem::QueryTask(nPid, nTid, 0, &task) && task.cState != 'Z' && task.cState != 'X')
        {
            return true;
        }
    }
    return false;
}

} // namespace

bool CPFSystem::IsProcessLive(pid_t nPid, tuint64 qwStartTicks)
{
    STaskInfo info;
    return QueryTask(nPid, 0, kTaskStartTime, &info) && info.qwStartTicks == qwStartTicks && HasLiveTask(nPid, info);
}

void CPFSystem::ListDescendants(pid_t nRoot, std::vector<pid_t>* pvPids)
{
    // Every live process's parent, then the tree below nRoot from them.
    std::vector<pid_t> vAll;
    ListProcEntries("/proc", &vAll);
    std::vector<std::pair<pid_t, pid_t>> vParents;
    for (const pid_t nPid : vAll)
    {
        STaskInfo info;
        if (QueryTask(nPid, 0, 0, &info) && HasLiveTask(nPid, info))
        {
            vParents.emplace_back(nPid, info.nParent);
        }
    }
    pvPids->clear();
    std::vector<pid_t> vTodo = {nRoot};
    while (!vTodo.empty())
    {
        const pid_t nParent = vTodo.back();
        vTodo.pop_back();
        for (const auto& entry : vParents)
        {
            if (entry.second == nParent)
            {
                pvPids->push_back(entry.first);
                vTodo.push_back(entry.first);
            }
        }
    }
}

bool CPFSystem::QueryTreeCpuNs(pid_t nRoot, int nCPU, tuint64* pqwNs)
{
    std::vector<pid_t> vPids, vTasks;
    ListDescendants(nRoot, &vPids);
    const std::string strCPU = std::to_string(nCPU);
    tuint64 qwNs = 0;
    bool bRead = false;
    for (const pid_t nPid : vPids)
    {
        char szTasks[64];
        std::snprintf(szTasks, sizeof(szTasks), "/proc/%d/task", static_cast<int>(nPid));
        ListProcEntries(szTasks, &vTasks);
        for (const pid_t nTid : vTasks)
        {
            STaskInfo task;
            if (QueryTask(nPid, nTid, kTaskRunTime, &task) && task.bRunNs)
            {
                // A thread allowed CPU K alone ran nowhere else: its time is load on K.
                qwNs += task.strAllowed == strCPU ? task.qwRunNs : 0;
                bRead = true;
            }
        }
    }
    *pqwNs = qwNs;
    return bRead;
}

pid_t CPFSystem::ReapAnyChild(int* piStatus)
{
    pid_t nDone;
    do
    {
        nDone = waitpid(-1, piStatus, WNOHANG);
    } while (nDone < 0 && errno == EINTR);
    return nDone > 0 ? nDone : 0;
}

FDHANDLE CPFSystem::CreateSignalHandle(const sigset_t& sigSet)
{
    return signalfd(-1, &sigSet, SFD_CLOEXEC | SFD_NONBLOCK);
}

int CPFSystem::ReadSignal(FDHANDLE hSignal)
{
    signalfd_siginfo info;
    ssize_t cb;
    do
    {
        cb = read(hSignal, &info, sizeof(info));
    } while (cb < 0 && errno == EINTR);
    return cb == static_cast<ssize_t>(sizeof(info)) ? static_cast<int>(info.ssi_signo) : 0;
}

FDHANDLE CPFSystem::CreateWaitableTimer()
{
    return timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
}

bool CPFSystem::SetWaitableTimer(FDHANDLE hTimer, tuint64 qwDueNs)
{
    itimerspec its;
    std::memset(&its, 0, sizeof(its));
    // A zero time would disarm the timer instead of firing it.
    qwDueNs = qwDueNs == 0 ? 1 : qwDueNs;
    its.it_value.tv_sec = static_cast<time_t>(qwDueNs / 1000000000U);
    its.it_value.tv_nsec = static_cast<long>(qwDueNs % 1000000000U);
    return timerfd_settime(hTimer, TFD_TIMER_ABSTIME, &its, nullptr) == 0;
}

void CPFSystem::ResetWaitableTimer(FDHANDLE hTimer)
{
    tuint64 qwExpirations;
    (void)!read(hTimer, &qwExpirations, sizeof(qwExpirations));
}

int CPFSystem::WaitForMultipleObjects(pollfd* pFds, nfds_t nFds, int msTimeout)
{
    const int iReady = poll(pFds, nFds, msTimeout);
    return iReady < 0 && errno == EINTR ? 0 : iReady;
}

tuint64 CPFSystem::QueryTickCountNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<tuint64>(ts.tv_sec) * 1000000000U + static_cast<tuint64>(ts.tv_nsec);
}

FDHANDLE CPFSystem::OpenCycleCounter(int nCPU)
{
    perf_event_attr attr;
    std::memset(&attr, 0, sizeof(attr));
    attr.size = sizeof(attr);
    attr.type = PERF_TYPE_HARDWARE;
    attr.config = PERF_COUNT_HW_CPU_CYCLES;
    attr.read_format = PERF_FORMAT_TOTAL_TIME_ENABLED | PERF_FORMAT_TOTAL_TIME_RUNNING;
    // Every task on that CPU, as the load is the tool's many threads; glibc has no wrapper.
    const long iFd = syscall(SYS_perf_event_open, &attr, -1, nCPU, -1, PERF_FLAG_FD_CLOEXEC);
    return static_cast<FDHANDLE>(iFd);
}

bool CPFSystem::ReadCycleCounter(FDHANDLE hCounter, tuint64* pqwCycles)
{
    tuint64 aqw[3];  // count, time enabled, time running
    if (read(hCounter, aqw, sizeof(aqw)) != static_cast<ssize_t>(sizeof(aqw)) || aqw[2] == 0)
    {
        return false;
    }
    // With more events than counters the kernel rotates them and counts only part of the time.
    *pqwCycles = aqw[2] >= aqw[1] ? aqw[0]
                                  : static_cast<tuint64>(static_cast<double>(aqw[0]) *
                                                         (static_cast<double>(aqw[1]) / static_cast<double>(aqw[2])));
    return true;
}

bool CPFSystem::QueryThreadCpus(std::vector<int>* pvnCPUs)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
    {
        return false;
    }
    pvnCPUs->clear();
    for (int n = 0; n < CPU_SETSIZE; ++n)
    {
        if (CPU_ISSET(static_cast<size_t>(n), &set))
        {
            pvnCPUs->push_back(n);
        }
    }
    return true;
}

bool CPFSystem::SetThreadCpus(const std::vector<int>& vnCPUs)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int n : vnCPUs)
    {
        if (n >= 0 && n < CPU_SETSIZE)
        {
            CPU_SET(static_cast<size_t>(n), &set);
        }
    }
    return sched_setaffinity(0, sizeof(set), &set) == 0;
}

pid_t CPFSystem::QueryProcessGroup(pid_t nPid)
{
    return getpgid(nPid);
}
