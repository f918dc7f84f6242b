// SPDX-License-Identifier: MIT
// CPFSystem: files, processes, signals, timers and counters of Linux/glibc behind handles.
#pragma once

#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/types.h>
#include <vector>

#include "base_type_define.h"

// A descriptor; -1 names none.
typedef int FDHANDLE;

// What /proc says of one task (a thread) or of a process as a whole.
struct STaskInfo
{
    char cState = 0;          // status's State: R, S, D, Z...
    pid_t nParent = 0;        // PPid
    int nThreads = 0;         // Threads: the live ones of its group
    std::string strAllowed;   // Cpus_allowed_list
    int nLastCPU = -1;        // stat's processor: the CPU it last ran on
    bool bRunNs = false;
    tuint64 qwRunNs = 0;      // the CPU time it has run: schedstat's, else stat's ticks
    tuint64 qwStartTicks = 0; // stat's starttime: with the PID, which process this is
};

// What QueryTask reads: status always; stat and schedstat where asked.
const unsigned kTaskLastCPU = 1;
const unsigned kTaskRunTime = 2;
const unsigned kTaskStartTime = 4;

class CPFSystem
{
public:
    // Opens a file for reading, or -1 with errno; a FIFO in its place does not block the open.
    static FDHANDLE CreateFile(const char* pszPath);

    // Reads up to cb bytes from the start of the file: a sysfs or /proc file is made anew at
    // each read from offset 0. The count read, or -1 with errno.
    static ssize_t ReadFileAt(FDHANDLE hFile, char* pBuf, size_t cb);

    // Opens, reads and closes a small file: up to cb - 1 bytes, NUL-terminated in pBuf. The
    // count read, or -1 with errno.
    static ssize_t ReadSmallFile(const char* pszPath, char* pBuf, size_t cb);

    // Writes all of cb bytes, resuming after a partial write or an interruption; false with
    // errno when the rest cannot be written.
    static bool WriteFile(FDHANDLE hFile, const char* pBuf, size_t cb);

    // Writes all of cb bytes, waiting for room while hAlert has nothing to read: 1 when all
    // is written, 0 when hAlert became readable first, -1 with errno when the file refuses.
    // *pcbDone counts what was written. It never blocks in write on a file opened O_NONBLOCK,
    // nor on a pipe, whose room poll reports by the page.
    static int WriteFileEx(FDHANDLE hFile, const char* pBuf, size_t cb, FDHANDLE hAlert, size_t* pcbDone);

    // A descriptor of this process's own on the pipe or FIFO hFile writes to, which does not
    // block: O_NONBLOCK on hFile itself would reach every process that shares it. -1 where
    // hFile is no pipe, or it has no reader.
    static FDHANDLE ReOpenFile(FDHANDLE hFile);

    static void CloseHandle(FDHANDLE& hFile);

    // A pipe whose read end does not block; both ends close on exec.
    static bool CreatePipe(FDHANDLE* phRead, FDHANDLE* phWrite);

    // Starts argv[0] (searched in PATH when it holds no '/') as the leader of a new process
    // group, with standard output and error on the given descriptors, the signal mask
    // sigMask and each signal in sigDefault at its default action. The child is killed
    // should this process die first. Returns its PID, or -1 with the reason in *piErr: the
    // child's exec failure comes back too.
    static pid_t CreateProcess(char* const* argv, FDHANDLE hOut, FDHANDLE hErr, const sigset_t& sigMask,
                               const sigset_t& sigDefault, int* piErr);

    // Sends nSignal to every process of the group; false when none is left.
    static bool SignalProcessGroup(pid_t nGroup, int nSignal);

    static bool SignalProcess(pid_t nPid, int nSignal);

    // Makes this process the reaper of its descendants' orphans, so that a process whose
    // parent ended stays below it, where ListDescendants finds it.
    static bool BecomeSubreaper();

    // What /proc says of task nTid of process nPid (nTid 0: the process itself); false once
    // it has ended.
    static bool QueryTask(pid_t nPid, pid_t nTid, unsigned uWhat, STaskInfo* pInfo);

    // The numbered entries of a /proc directory: its processes, or a process's tasks.
    static void ListProcEntries(const char* pszDir, std::vector<pid_t>* pvIds);

    // Every live process below nRoot, found through their parents in /proc. A zombie whose
    // leader thread has ended while others run on counts as live: only a process none of
    // whose threads runs is left out.
    static void ListDescendants(pid_t nRoot, std::vector<pid_t>* pvPids);

    // Whether process nPid, started at qwStartTicks (stat's starttime), still has a task that
    // runs: a PID taken since by another process is not it.
    static bool IsProcessLive(pid_t nPid, tuint64 qwStartTicks);

    // The CPU time the threads below nRoot that may run on nCPU alone have run, in ns, from
    // their schedstat (or stat's ticks without it); false where no thread could be read.
    static bool QueryTreeCpuNs(pid_t nRoot, int nCPU, tuint64* pqwNs);

    // Reaps one child that has ended, any: its PID and wait status, or 0 when none has.
    static pid_t ReapAnyChild(int* piStatus);

    // A descriptor that reads the signals of sigSet, which the caller has blocked.
    static FDHANDLE CreateSignalHandle(const sigset_t& sigSet);

    // The number of the next signal taken from the handle, or 0 when none is pending.
    static int ReadSignal(FDHANDLE hSignal);

    // A timer on the monotonic clock that wakes poll at absolute times.
    static FDHANDLE CreateWaitableTimer();

    // Arms the timer for the monotonic time qwDueNs; a time already past fires at once.
    static bool SetWaitableTimer(FDHANDLE hTimer, tuint64 qwDueNs);

    // Takes the timer's expiry, if it has fired.
    static void ResetWaitableTimer(FDHANDLE hTimer);

    // Waits until one of the descriptors is ready, or msTimeout (-1: no bound) has passed.
    // The count ready, 0 at the time-out, -1 on an error other than an interruption.
    static int WaitForMultipleObjects(pollfd* pFds, nfds_t nFds, int msTimeout);

    // The monotonic clock in nanoseconds.
    static tuint64 QueryTickCountNs();

    // Counts CPU nCPU's hardware cycles from now, whoever runs there; -1 with errno where
    // there is no counter or no permission.
    static FDHANDLE OpenCycleCounter(int nCPU);

    // Cycles counted so far, scaled up for any time the kernel had the counter off the PMU.
    static bool ReadCycleCounter(FDHANDLE hCounter, tuint64* pqwCycles);

    // The process group of nPid, or -1 where it has gone.
    static pid_t QueryProcessGroup(pid_t nPid);

    // The CPUs the calling thread may run on, ascending (its cpuset's, less what it narrowed).
    static bool QueryThreadCpus(std::vector<int>* pvnCPUs);

    // Narrows the calling thread to vnCPUs; false with errno where none of them may be had.
    static bool SetThreadCpus(const std::vector<int>& vnCPUs);

private:
    CPFSystem() = delete;
    ~CPFSystem() = delete;
};
