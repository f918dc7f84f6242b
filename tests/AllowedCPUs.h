// SPDX-License-Identifier: MIT
// The CPUs the calling thread may run on, for tests that pick a CPU to pin to or to avoid.
#pragma once

#include <algorithm>
#include <sched.h>
#include <vector>

inline std::vector<int> AllowedCPUs()
{
    cpu_set_t mask;
    CPU_ZERO(&mask);
    std::vector<int> vCPUs;
    if (sched_getaffinity(0, sizeof(mask), &mask) != 0)
    {
        return vCPUs;
    }
    for (int k = 0; k < CPU_SETSIZE; ++k)
    {
        if (CPU_ISSET(static_cast<size_t>(k), &mask))
        {
            vCPUs.push_back(k);
        }
    }
    return vCPUs;
}

inline bool IsAllowed(int nCPU)
{
    const std::vector<int> vAllowed = AllowedCPUs();
    return std::find(vAllowed.begin(), vAllowed.end(), nCPU) != vAllowed.end();
}

// The highest index below 1024 that the thread may not use: absent on any real machine.
inline int HighestUnusableCPU()
{
    int nCPU = CPU_SETSIZE - 1;
    while (nCPU >= 0 && IsAllowed(nCPU))
    {
        --nCPU;
    }
    return nCPU;
}
