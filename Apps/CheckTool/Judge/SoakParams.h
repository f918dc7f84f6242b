// SPDX-License-Identifier: MIT
// What was asked: the check's arguments and environment, read and checked once.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "SoakData.h"

struct SCheckParams
{
    int nCPU = 0;               // CPU K: the first listed, whose clock and cycles the soak traces
    std::vector<int> vnCPUs;    // every CPU loaded, ascending; empty for "all" until it is found
    bool bAllCPUs = false;      // CPU was "all": every online CPU of the check's own cpuset
    int nThreads = 0;
    tint64 usSettle = 0;
    tint64 usInterval = 1000000;
    tint64 usStopBound = 5000000;
    size_t nSamples = 0;  // after the first
    std::string strHogspin = "hogspin";
    std::string strSysfs = "/sys";
    SLimits limits;
    tint64 usBaseline = 0;
    size_t nBaseline = 0;  // samples before the tool starts
    std::string strPowerMeter;
    std::string strBoard;
    bool bUntilSteady = false;
    tint64 llSteadyTol = 1000;  // m°C: STEADY_TOL, how narrow each zone's T∞ interval must be
    int iSteadyRule = 0;        // STEADY_RULE's place among the steady rules; 0 the check's own
    bool bOppSweep = false;
    tint64 usOppHold = 10000000;
    size_t nOppHold = 0;  // samples under the load at each operating point
    size_t nOppRest = 0;  // and with the load held still, before them
};

// The usage line, without its newline, and the whole of --help.
extern const char kCheckUsage[];
extern const char kCheckHelp[];

// The command line after the program's name, and a lookup of the environment. False with
// every reason, "; " between them, when something is bad.
typedef const char* (*PFNGETENV)(const char* pszName);
bool ParseParams(const std::vector<std::string>& vArgs, PFNGETENV pfnGetEnv, SCheckParams* pParams,
                 std::string* pstrWhy);

// "all" found: the online CPUs (online's list) that the check's own cpuset holds, into the
// parameters; false with why where none is left.
bool ChooseAllCPUs(const std::string& strOnline, const std::vector<int>& vnAllowed, SCheckParams* pParams, std::string* pstrWhy);

// Whether more than one CPU is loaded: each then has cases of its own.
inline bool IsCpuList(const SCheckParams& p) { return p.vnCPUs.size() > 1 || p.bAllCPUs; }
