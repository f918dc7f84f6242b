// SPDX-License-Identifier: MIT
// Tests of CPFHelper: real threads, affinity and signals, plus faked calls for the error paths.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <ctime>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "AllowedCPUs.h"
#include "Layer2_Platform/Linux_ARM_glibc/PFHelper.h"
#include "PFHelperSeam.h"

namespace pfseam
{
int (*pfnPthreadCreate)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) = ::pthread_create;
int (*pfnPthreadSetAffinity)(pthread_t, size_t, const cpu_set_t*) = ::pthread_setaffinity_np;
int (*pfnNanosleep)(const timespec*, timespec*) = ::nanosleep;
int (*pfnPthreadSigqueue)(pthread_t, int, const sigval) = ::pthread_sigqueue;
} // namespace pfseam

namespace
{

// Puts a hook back to the real call when the test ends, pass or fail.
template <typename T>
class CHookGuard
{
public:
    CHookGuard(T& rHook, T pfnFake) : m_rHook(rHook), m_pfnReal(rHook) { m_rHook = pfnFake; }
    ~CHookGuard() { m_rHook = m_pfnReal; }
    CHookGuard(const CHookGuard&) = delete;
    CHookGuard& operator=(const CHookGuard&) = delete;

private:
    T& m_rHook;
    T m_pfnReal;
};

// --- Sleep ---------------------------------------------------------------------------------

struct SSleepStep
{
    int iRet;        // what the fake nanosleep returns
    int iErrno;      // and leaves in errno when it fails
    timespec tsRem;  // and writes back as the remainder
};

struct SSleepCase
{
    const char* pszName;
    tuint32 ms;
    std::vector<SSleepStep> vSteps;
    std::vector<std::pair<long, long>> vExpectedReqs;  // (s, ns) of every call, in order
};

std::vector<SSleepStep> g_vSleepSteps;
std::vector<std::pair<long, long>> g_vSleepReqs;

int FakeNanosleep(const timespec* pReq, timespec* pRem)
{
    g_vSleepReqs.emplace_back(static_cast<long>(pReq->tv_sec), pReq->tv_nsec);
    if (g_vSleepReqs.size() > g_vSleepSteps.size())
    {
        return 0;  // a script ran out: end the sleep rather than loop forever
    }
    const SSleepStep& step = g_vSleepSteps[g_vSleepReqs.size() - 1];
    *pRem = step.tsRem;
    errno = step.iErrno;
    return step.iRet;
}

TEST(PFHelperSleep, IssuesTheRightRequestsAndResumesOnlyInterruptedRests)
{
    const timespec tsNone{0, 0};
    const std::vector<SSleepCase> vCases = {
        {"500 ms is one request of 0 s 500000000 ns", 500, {{0, 0, tsNone}}, {{0, 500000000}}},
        {"1500 ms splits into seconds and ns", 1500, {{0, 0, tsNone}}, {{1, 500000000}}},
        {"0 ms makes one zero-length call", 0, {{0, 0, tsNone}}, {{0, 0}}},
        {"the largest count stays in range", UINT32_MAX, {{0, 0, tsNone}}, {{4294967, 295000000}}},
        {"an interruption sleeps the rest",
         500,
         {{-1, EINTR, {0, 400000000}}, {-1, EINTR, {0, 1}}, {0, 0, tsNone}},
         {{0, 500000000}, {0, 400000000}, {0, 1}}},
        {"a rest of whole seconds is still slept", 2000, {{-1, EINTR, {1, 0}}, {0, 0, tsNone}}, {{2, 0}, {1, 0}}},
        {"an interruption with nothing left ends it", 500, {{-1, EINTR, {0, 0}}}, {{0, 500000000}}},
        {"another error ends it", 500, {{-1, EINVAL, {0, 300000000}}}, {{0, 500000000}}},
    };
    CHookGuard<decltype(pfseam::pfnNanosleep)> guard(pfseam::pfnNanosleep, FakeNanosleep);
    for (const SSleepCase& c : vCases)
    {
        g_vSleepSteps = c.vSteps;
        g_vSleepReqs.clear();
        CPFHelper::Sleep(c.ms);
        EXPECT_EQ(g_vSleepReqs, c.vExpectedReqs) << c.pszName;
    }
}

std::atomic<int> g_nSignalsSeen{0};

void CountSignal(int)
{
    g_nSignalsSeen.fetch_add(1, std::memory_order_relaxed);
}

TEST(PFHelperSleep, SignalInTheMiddleDoesNotShortenIt)
{
    // No SA_RESTART: the handler interrupts nanosleep, as the tool's own stop handler does.
    struct sigaction sa = {};
    struct sigaction saOld = {};
    sa.sa_handler = CountSignal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &saOld), 0);
    g_nSignalsSeen = 0;

    const pthread_t tidSleeper = pthread_self();
    std::atomic<bool> bSleeping{false};
    // The sender signals this thread once, 100 ms into its sleep.
    struct SArgs
    {
        pthread_t tid;
        std::atomic<bool>* pbSleeping;
    } args{tidSleeper, &bSleeping};
    pthread_t tidSender;
    ASSERT_EQ(pthread_create(
                  &tidSender, nullptr,
                  [](void* p) -> void* {
                      SArgs* pArgs = static_cast<SArgs*>(p);
                      while (!pArgs->pbSleeping->load())
                      {
                          sched_yield();
                      }
                      const timespec ts{0, 100000000};
                      nanosleep(&ts, nullptr);
                      pthread_kill(pArgs->tid, SIGUSR1);
                      return nullptr;
                  },
                  &args),
              0);

    const auto tStart = std::chrono::steady_clock::now();
    bSleeping = true;
    CPFHelper::Sleep(500);
    const auto tElapsed = std::chrono::steady_clock::now() - tStart;
    pthread_join(tidSender, nullptr);
    sigaction(SIGUSR1, &saOld, nullptr);

    EXPECT_EQ(g_nSignalsSeen.load(), 1);
    // A sleep that gave up at the signal would return after about 100 ms.
    EXPECT_GE(tElapsed, std::chrono::milliseconds(490));
}

// --- CreateThread and JoinThread -----------------------------------------------------------

int FailingPthreadCreate(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)
{
    return EAGAIN;
}

TEST(PFHelperThread, FailedCreateReturnsNullLeavesIdAndSetsErrno)
{
    CHookGuard<decltype(pfseam::pfnPthreadCreate)> guard(pfseam::pfnPthreadCreate, FailingPthreadCreate);
    tuint_ptr nThreadId = 0xABCDu;
    errno = 0;
    const HANDLE h = CPFHelper::CreateThread([](LPVOID) -> LPVOID { return nullptr; }, nullptr, &nThreadId);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(nThreadId, 0xABCDu);
}

TEST(PFHelperThread, CreateRunsTheRoutineAndJoinWaitsForIt)
{
    std::atomic<int> nParam{0};
    tuint_ptr nThreadId = 0;
    HANDLE h = CPFHelper::CreateThread(
        [](LPVOID p) -> LPVOID {
            const timespec ts{0, 20000000};
            nanosleep(&ts, nullptr);
            static_cast<std::atomic<int>*>(p)->store(7);
            return nullptr;
        },
        &nParam, &nThreadId);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(h, nThreadId);
    CPFHelper::JoinThread(h);
    EXPECT_EQ(nParam.load(), 7);
    EXPECT_EQ(h, nThreadId);
}

// --- SetThreadAffinity ---------------------------------------------------------------------

std::vector<cpu_set_t> g_vMasks;
std::vector<size_t> g_vMaskSizes;

int RecordingSetAffinity(pthread_t, size_t cb, const cpu_set_t* pMask)
{
    g_vMaskSizes.push_back(cb);
    g_vMasks.push_back(*pMask);
    return 0;
}

TEST(PFHelperAffinity, AsksForExactlyOneBitOrAnEmptySet)
{
    const struct
    {
        int nCPU;
        int nBit;  // -1: the set must be empty
    } aCases[] = {{0, 0}, {63, 63}, {64, 64}, {1023, 1023}, {1024, -1}, {-1, -1}, {INT_MIN, -1}, {INT_MAX, -1}};
    CHookGuard<decltype(pfseam::pfnPthreadSetAffinity)> guard(pfseam::pfnPthreadSetAffinity, RecordingSetAffinity);
    for (const auto& c : aCases)
    {
        g_vMasks.clear();
        g_vMaskSizes.clear();
        CPFHelper::SetThreadAffinity(static_cast<HANDLE>(pthread_self()), c.nCPU);
        ASSERT_EQ(g_vMasks.size(), 1u) << c.nCPU;
        EXPECT_EQ(g_vMaskSizes[0], 128u) << c.nCPU;
        EXPECT_EQ(CPU_COUNT(&g_vMasks[0]), c.nBit < 0 ? 0 : 1) << c.nCPU;
        if (c.nBit >= 0)
        {
            EXPECT_TRUE(CPU_ISSET(static_cast<size_t>(c.nBit), &g_vMasks[0])) << c.nCPU;
        }
    }
}

struct SPinProbe
{
    std::atomic<bool> bGo{false};
    std::atomic<int> nRanOn{-1};
};

// Waits, without spinning hard, until pinned and released, then reports where it runs.
LPVOID PinProbeProc(LPVOID p)
{
    SPinProbe* pProbe = static_cast<SPinProbe*>(p);
    while (!pProbe->bGo.load())
    {
        CPFHelper::Sleep(1);
    }
    pProbe->nRanOn = sched_getcpu();
    return nullptr;
}

TEST(PFHelperAffinity, PinsToEveryUsableCPUAndRefusesOthers)
{
    const std::vector<int> vAllowed = AllowedCPUs();
    ASSERT_FALSE(vAllowed.empty());
    std::vector<std::pair<int, bool>> vCases = {{-1, false}, {1024, false}, {HighestUnusableCPU(), false}};
    for (int k : vAllowed)
    {
        vCases.emplace_back(k, true);
    }

    for (const auto& c : vCases)
    {
        SPinProbe probe;
        tuint_ptr nThreadId = 0;
        HANDLE h = CPFHelper::CreateThread(PinProbeProc, &probe, &nThreadId);
        ASSERT_NE(h, 0u);
        cpu_set_t maskBefore;
        ASSERT_EQ(pthread_getaffinity_np(static_cast<pthread_t>(h), sizeof(maskBefore), &maskBefore), 0);

        EXPECT_EQ(CPFHelper::SetThreadAffinity(h, c.first), c.second) << "CPU " << c.first;

        cpu_set_t maskAfter;
        ASSERT_EQ(pthread_getaffinity_np(static_cast<pthread_t>(h), sizeof(maskAfter), &maskAfter), 0);
        if (c.second)
        {
            EXPECT_EQ(CPU_COUNT(&maskAfter), 1) << "CPU " << c.first;
            EXPECT_TRUE(CPU_ISSET(static_cast<size_t>(c.first), &maskAfter)) << "CPU " << c.first;
        }
        else
        {
            EXPECT_TRUE(CPU_EQUAL(&maskBefore, &maskAfter)) << "a refused pinning changed CPU " << c.first;
        }
        probe.bGo = true;
        CPFHelper::JoinThread(h);
        if (c.second)
        {
            EXPECT_EQ(probe.nRanOn.load(), c.first);
        }
    }
}

// A stop during start-up can end a worker before the driver pins it. glibc would then apply
// the pinning to the caller and report success; the main thread must keep its own set.
TEST(PFHelperAffinity, AThreadThatHasEndedIsNotPinnedAndTheCallerKeepsItsSet)
{
    cpu_set_t maskOwn;
    ASSERT_EQ(sched_getaffinity(0, sizeof(maskOwn), &maskOwn), 0);
    const std::vector<int> vAllowed = AllowedCPUs();
    ASSERT_FALSE(vAllowed.empty());
    const int nCPU = vAllowed.back();

    std::atomic<long> nTid{0};
    tuint_ptr nThreadId = 0;
    HANDLE h = CPFHelper::CreateThread(
        [](LPVOID p) -> LPVOID {
            static_cast<std::atomic<long>*>(p)->store(syscall(SYS_gettid));
            return nullptr;
        },
        &nTid, &nThreadId);
    ASSERT_NE(h, 0u);
    // Ended, not joined: its task leaves /proc only after the kernel has cleared glibc's id.
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    struct stat st;
    while ((nTid.load() == 0 || stat(("/proc/self/task/" + std::to_string(nTid.load())).c_str(), &st) == 0) &&
           std::chrono::steady_clock::now() < tDeadline)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    EXPECT_FALSE(CPFHelper::SetThreadAffinity(h, nCPU));
    cpu_set_t maskAfter;
    ASSERT_EQ(sched_getaffinity(0, sizeof(maskAfter), &maskAfter), 0);
    EXPECT_TRUE(CPU_EQUAL(&maskOwn, &maskAfter)) << "the caller now has " << CPU_COUNT(&maskAfter) << " CPUs";
    CPFHelper::JoinThread(h);
}

// The look before the pinning found the thread alive, and it ended before the pinning landed:
// glibc then pins the caller, as this fake does, and the helper must put its set back.
std::atomic<int> g_nLooks{0};

int EndsAfterTheFirstLook(pthread_t, int, const sigval)
{
    return g_nLooks.fetch_add(1) == 0 ? 0 : ESRCH;
}

int PinsTheCaller(pthread_t, size_t cb, const cpu_set_t* pMask)
{
    return sched_setaffinity(0, cb, pMask) == 0 ? 0 : errno;
}

TEST(PFHelperAffinity, AThreadThatEndsUnderItsPinningGivesTheCallerItsSetBack)
{
    cpu_set_t maskOwn;
    ASSERT_EQ(sched_getaffinity(0, sizeof(maskOwn), &maskOwn), 0);
    const std::vector<int> vAllowed = AllowedCPUs();
    ASSERT_FALSE(vAllowed.empty());
    CHookGuard<decltype(pfseam::pfnPthreadSigqueue)> guardLook(pfseam::pfnPthreadSigqueue, EndsAfterTheFirstLook);
    CHookGuard<decltype(pfseam::pfnPthreadSetAffinity)> guardPin(pfseam::pfnPthreadSetAffinity, PinsTheCaller);
    g_nLooks = 0;
    EXPECT_FALSE(CPFHelper::SetThreadAffinity(static_cast<HANDLE>(pthread_self()), vAllowed.back()));
    EXPECT_EQ(g_nLooks.load(), 2);
    cpu_set_t maskAfter;
    ASSERT_EQ(sched_getaffinity(0, sizeof(maskAfter), &maskAfter), 0);
    EXPECT_TRUE(CPU_EQUAL(&maskOwn, &maskAfter)) << "the caller now has " << CPU_COUNT(&maskAfter) << " CPUs";
    sched_setaffinity(0, sizeof(maskOwn), &maskOwn);  // the other tests need it, pass or fail
}

} // namespace
