// SPDX-License-Identifier: MIT
// CPFHelper on POSIX threads, the GNU affinity extension and nanosleep.
#include "PFHelper.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

// The test build routes these calls through fakes so that it can force their failures.
#ifdef HOGSPIN_TEST_SEAM
#include "PFHelperSeam.h"
#else
#define PF_SYSCALL(call) ::call
#endif

static_assert(sizeof(pthread_t) <= sizeof(HANDLE), "a HANDLE must hold a pthread_t");

HANDLE CPFHelper::CreateThread(LPTHREAD_START_ROUTINE pfnThreadProc, LPVOID pParam, tuint_ptr* pThreadId)
{
    pthread_t tid;
    const int iRet = PF_SYSCALL(pthread_create)(&tid, nullptr, pfnThreadProc, pParam);
    if (iRet != 0)
    {
        // pthread functions return their error instead of setting errno; hand it on there.
        errno = iRet;
        return 0;
    }
    *pThreadId = static_cast<tuint_ptr>(tid);
    return static_cast<HANDLE>(tid);
}

void CPFHelper::JoinThread(HANDLE& hThread)
{
    (void)pthread_join(static_cast<pthread_t>(hThread), nullptr);
}

bool CPFHelper::SetThreadAffinity(HANDLE hThread, int nCPU)
{
    cpu_set_t mask;
    CPU_ZERO(&mask);
    // Widened with its sign then read unsigned, a negative index lands far above the set's
    // size, so both out-of-range ends leave the set empty and the kernel refuses it.
    const tuint64 qwCPU = static_cast<tuint64>(static_cast<std::int64_t>(nCPU));
    if (qwCPU < CPU_SETSIZE)
    {
        CPU_SET(static_cast<std::size_t>(qwCPU), &mask);
    }
    // glibc names the thread to the kernel by the id it keeps for it, which the kernel clears
    // to 0 as soon as the thread ends, joined or not; and to the kernel, 0 is the caller. A
    // thread that has already ended would hand its pinning to the calling thread, with
    // success. Signal 0 only probes, and pthread_sigqueue, unlike the affinity call, refuses
    // a cleared id with ESRCH: so look first.
    const pthread_t tid = static_cast<pthread_t>(hThread);
    if (PF_SYSCALL(pthread_sigqueue)(tid, 0, sigval{}) == ESRCH)
    {
        return false;
    }
    // The thread may still end between that look and the pinning: keep the caller's own set
    // to put back should that have happened.
    cpu_set_t maskOwn;
    const bool bOwnKnown = PF_SYSCALL(sched_getaffinity)(0, sizeof(maskOwn), &maskOwn) == 0;
    // The kernel also refuses a set holding no CPU this process may use (absent, offline,
    // or outside its cpuset).
    if (PF_SYSCALL(pthread_setaffinity_np)(tid, sizeof(mask), &mask) != 0)
    {
        return false;
    }
    if (PF_SYSCALL(pthread_sigqueue)(tid, 0, sigval{}) != ESRCH)
    {
        return true;
    }
    if (bOwnKnown)
    {
        (void)PF_SYSCALL(sched_setaffinity)(0, sizeof(maskOwn), &maskOwn);
    }
    return false;
}

void CPFHelper::Sleep(tuint32 ms)
{
    timespec req;
    req.tv_sec = static_cast<time_t>(ms / 1000U);
    req.tv_nsec = static_cast<long>((ms % 1000U) * 1000000U);
    // A signal handler cuts nanosleep short and it writes the unslept rest back into req;
    // sleeping that rest keeps the interval whole. Handlers installed with SA_RESTART do
    // not help here: the kernel never restarts nanosleep on its own.
    while (PF_SYSCALL(nanosleep)(&req, &req) == -1 && errno == EINTR && (req.tv_nsec > 0 || req.tv_sec > 0))
    {
    }
}
