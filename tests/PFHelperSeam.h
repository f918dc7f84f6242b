// SPDX-License-Identifier: MIT
// Test build of CPFHelper: the calls it makes through PF_SYSCALL go through replaceable hooks.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

namespace pfseam
{
// Point at the real calls until a test swaps in a fake.
extern int (*pfnPthreadCreate)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
extern int (*pfnPthreadSetAffinity)(pthread_t, size_t, const cpu_set_t*);
extern int (*pfnNanosleep)(const timespec*, timespec*);
extern int (*pfnPthreadSigqueue)(pthread_t, int, const sigval);

inline int pthread_create(pthread_t* pTid, const pthread_attr_t* pAttr, void* (*pfn)(void*), void* pArg)
{
    return pfnPthreadCreate(pTid, pAttr, pfn, pArg);
}
inline int pthread_setaffinity_np(pthread_t tid, size_t cb, const cpu_set_t* pMask)
{
    return pfnPthreadSetAffinity(tid, cb, pMask);
}
inline int nanosleep(const timespec* pReq, timespec* pRem)
{
    return pfnNanosleep(pReq, pRem);
}
inline int pthread_sigqueue(pthread_t tid, int nSignal, const sigval value)
{
    return pfnPthreadSigqueue(tid, nSignal, value);
}
// Real: the tests judge these through real threads.
using ::sched_getaffinity;
using ::sched_setaffinity;
} // namespace pfseam

#define PF_SYSCALL(call) pfseam::call
