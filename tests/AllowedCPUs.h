// The CPUs the calling thread may run on, for tests that pick a CPU to pin to or to avoid.
#pragma once

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
