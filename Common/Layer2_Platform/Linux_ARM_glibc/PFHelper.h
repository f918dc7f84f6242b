// SPDX-License-Identifier: MIT
// CPFHelper: thread and sleep services of Linux/glibc behind handles and millisecond sleeps.
#pragma once

#include "base_type_define.h"

class CPFHelper
{
public:
    // Starts pfnThreadProc(pParam) in a new joinable thread. On success writes its id through
    // pThreadId and returns it as the handle; on failure returns 0 with the error in errno.
    static HANDLE CreateThread(LPTHREAD_START_ROUTINE pfnThreadProc, LPVOID pParam, tuint_ptr* pThreadId);

    // Waits for a thread from CreateThread to end; its result is discarded.
    static void JoinThread(HANDLE& hThread);

    // Restricts the thread to CPU nCPU alone. False for an index outside 0..1023, a CPU the
    // process may not run on, or a thread that has already ended; the caller's own affinity
    // is never changed.
    static bool SetThreadAffinity(HANDLE hThread, int nCPU);

    // Sleeps the whole interval even when signal handlers interrupt it.
    static void Sleep(tuint32 ms);

private:
    CPFHelper() = delete;
    ~CPFHelper() = delete;
};
