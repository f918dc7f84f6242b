// SPDX-License-Identifier: MIT
// hogspin: keeps one CPU busy with spinning threads pinned to it until SIGINT or SIGTERM.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "../../Common/Layer2_Platform/Linux_ARM_glibc/PFHelper.h"

// Cleared by the stop handler in whichever thread takes the signal; read by every worker and
// the driver. Nothing else is published through it, so relaxed order is enough; a signal
// handler may only touch it because it is lock-free.
std::atomic<int> g_bRunning{1};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be lock-free for the signal handler");

void OnStopSignal(int nSignal)
{
    (void)nSignal;
    g_bRunning.store(0, std::memory_order_relaxed);
}

// Spins on the flag without ever sleeping or yielding, so that the CPU it runs on stays busy.
static LPVOID BusyThreadProc(LPVOID pParam)
{
    (void)pParam;
    tuint64 qwCount = 0;
    while (g_bRunning.load(std::memory_order_relaxed) != 0)
    {
        ++qwCount;
        if (qwCount == ~static_cast<tuint64>(0))
        {
            qwCount = 0;
        }
    }
    return nullptr;
}

int main(int argc, char** argv)
{
    // A reader that goes away must not end the run: writes to it then fail with EPIPE, which
    // costs nothing but the line, and the tool still stops in order with status 0.
    signal(SIGPIPE, SIG_IGN);

    int nCPU = 0;
    int nThreadCount = 5;
    if (argc > 2)
    {
        nCPU = atoi(argv[1]);
        nThreadCount = atoi(argv[2]);
    }
    else
    {
        puts("Usage: hogspin {indexCPU(0..8)} {thread-count}");
        // A pipe or a journal would otherwise hold the line until exit, or lose it on a kill.
        fflush(stdout);
    }

    signal(SIGTERM, OnStopSignal);
    signal(SIGINT, OnStopSignal);
    // A parent that waits for signals with sigwait or signalfd blocks them, and exec keeps
    // that mask: unblock the stop signals, now that the handler is in place, so that one
    // already pending stops the run in order. The workers inherit this mask.
    sigset_t sigStop;
    sigemptyset(&sigStop);
    sigaddset(&sigStop, SIGINT);
    sigaddset(&sigStop, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &sigStop, nullptr);

    // malloc rather than new keeps the binary free of libstdc++. Not zeroed: every slot is
    // written before it is read, and a huge table is only committed as workers are created.
    const std::size_t nSlots = nThreadCount > 0 ? static_cast<std::size_t>(nThreadCount) : 0;
    HANDLE* hThreads = nullptr;
    if (nSlots > 0)
    {
        // With a 32-bit size_t, 2^29 or more 8-byte handles would wrap the byte count and
        // yield a table too small for the loop below: such a table cannot exist there.
        if (nSlots <= SIZE_MAX / sizeof(HANDLE))
        {
            hThreads = static_cast<HANDLE*>(malloc(nSlots * sizeof(HANDLE)));
        }
        if (hThreads == nullptr)
        {
            fprintf(stderr, "hogspin: no memory for a table of %d threads\n", nThreadCount);
            return 1;
        }
    }

    bool bRet = true;
    tuint_ptr nThreadId = 0;
    for (std::size_t i = 0; i < nSlots; ++i)
    {
        // The worker starts spinning at once, wherever the scheduler puts it, until pinned.
        hThreads[i] = CPFHelper::CreateThread(BusyThreadProc, nullptr, &nThreadId);
        // A worker that never started loads nothing, and one created after a stop ends at once:
        // pinning it would only race its end. Both count as a failed pinning.
        const bool bPinned = hThreads[i] != 0 && g_bRunning.load(std::memory_order_relaxed) != 0 &&
                             CPFHelper::SetThreadAffinity(hThreads[i], nCPU);
        bRet = bRet && bPinned;
    }

    printf("hogspin %d, count=%d, ret=%d\n", nCPU, nThreadCount, bRet ? 1 : 0);
    fflush(stdout);

    while (g_bRunning.load(std::memory_order_relaxed) != 0)
    {
        CPFHelper::Sleep(500);
    }

    for (std::size_t i = 0; i < nSlots; ++i)
    {
        if (hThreads[i] != 0)
        {
            CPFHelper::JoinThread(hThreads[i]);
        }
    }

    printf("hogspin %d, Exit!\n", nCPU);
    free(hThreads);
    return 0;
}
