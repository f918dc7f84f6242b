// SPDX-License-Identifier: MIT
// The soak check's pure half: parameters, sensor names, trace lines and every verdict.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "../../Common/Layer2_Platform/Linux_ARM_glibc/base_type_define.h"

// A value that could not be read.
const tint64 kMissing = INT64_MIN;

enum class EResult
{
    Pass,
    Fail,
    Skip
};

// One LAVA test case: a measurement has a figure and units, a verdict none.
struct SCase
{
    std::string strName;
    EResult eResult;
    std::string strDetails;
    std::string strMeasurement;
    std::string strUnits;
};

// "hogspin-check: NAME: RESULT (DETAILS)\n", the line a user reads.
std::string CaseLine(const SCase& c);
// "NAME RESULT[ MEASUREMENT UNITS]\n", the line the LAVA glue reads.
std::string ResultLine(const SCase& c);

enum class ESensorKind
{
    Temp,     // a thermal zone, m°C
    Power,    // an hwmon power meter, µW
    Energy,   // an hwmon energy counter, µJ
    Cooling,  // a cooling device's time above state 0, ms
};

struct SSensor
{
    ESensorKind eKind;
    std::string strPath;  // under the sysfs root
    std::string strName;  // the case name's suffix
};

// What a sensor calls itself: a zone's type; an hwmon device's name and the input's label,
// or the input's own name where it has none.
struct SRawSensor
{
    ESensorKind eKind;
    std::string strPath;
    std::string strType;
};

// Case names from raw names, in order: only letters, digits, '_' and '-' (a database may
// read a dot as hierarchy); the directory's name where nothing is left; "-N", then "-N-2",
// ... added while another sensor of the kind has the name. A path that holds anything else
// is left out.
std::vector<SSensor> NameSensors(const std::vector<SRawSensor>& vRaw);

// A parameter's limit in the samples' units (m°C, kHz, µW), exactly.
struct SLimit
{
    bool bSet = false;
    tint64 llValue = 0;
    std::string strText;  // as given
};

struct SCheckParams
{
    int nCPU = 0;
    int nThreads = 0;
    tint64 msSettle = 0;
    tint64 msInterval = 1000;
    tint64 msStopBound = 5000;
    size_t nSamples = 0;  // after the first
    std::string strHogspin = "hogspin";
    std::string strSysfs = "/sys";
    SLimit limMaxTemp;
    SLimit limMinFreq;
    SLimit limMaxPower;
    tint64 msBaseline = 0;
    size_t nBaseline = 0;  // samples before the tool starts
    std::string strPowerMeter;
    bool bUntilSteady = false;
};

// The command line after the program's name, and a lookup of the environment. False with
// every reason, "; " between them, when something is bad.
typedef const char* (*PFNGETENV)(const char* pszName);
bool ParseParams(const std::vector<std::string>& vArgs, PFNGETENV pfnGetEnv, SCheckParams* pParams,
                 std::string* pstrWhy);

// A sensor file's number: digits with an optional '-', with blanks and a newline around them or
// not; kMissing for anything else.
tint64 ParseSensorValue(const char* p, const char* pEnd);

// A cooling device's stats/time_in_state_ms ("stateN\tMS" a line): the ms above state 0, or
// kMissing.
tint64 ParseCoolingTime(const char* p, const char* pEnd);

// cpufreq's stats/time_in_state ("kHz time" a line, time in 10 ms): up to nMax states into the
// arrays; their count, or 0 when it is not that.
size_t ParseTimeInState(const char* p, const char* pEnd, tint64* pllKHz, tint64* pllTime, size_t nMax);

// v / 10^nDigits with nDigits decimals, trailing zeros dropped down to nPlaces: (85040, 3, 1)
// is 85.04, (1200000, 3, 0) 1200, (2500000, 6, 1) 2.5.
std::string ShowFixed(tint64 llValue, int nDigits, int nPlaces);

// The samples of one soak; a row per sample, in time order.
// The samples of one soak; a row per sample, in time order: first the baseline's, taken
// before the tool started, then the soak's.
struct SSoakTrace
{
    size_t nSensors = 0;
    size_t nStates = 0;    // the clocks of CPU's cpufreq time_in_state
    size_t nSamples = 0;
    size_t nBaseline = 0;
    std::vector<tint64> vllTimeUs;     // since the tool was started: negative in the baseline
    std::vector<tint64> vllBusy;       // CPU's busy and total time from /proc/stat, in ticks
    std::vector<tint64> vllTotal;
    std::vector<tint64> vllKHz;        // its clock
    std::vector<tint64> vllValues;     // nSensors a row
    std::vector<tint64> vllStateKHz;   // each state's clock
    std::vector<tint64> vllStateTime;  // nStates a row: the time spent at each, in 10 ms

    // Room for nRows samples, taken now so that sampling allocates nothing.
    bool Reserve(size_t nRows, size_t nSensorsPerRow, size_t nStatesPerRow = 0);
    tint64 Value(size_t iSample, size_t iSensor) const { return vllValues[iSample * nSensors + iSensor]; }
};

struct SSoakSetup
{
    int nCPU = 0;
    tint64 usAsked = 0;  // the soak's length as asked: its samples times INTERVAL
    tint64 usInterval = 1000000;
    SLimit limMaxTemp;
    SLimit limMinFreq;
    SLimit limMaxPower;
    std::string strPowerMeter;  // the meter thermal resistance divides by; "": the only one
    std::vector<SSensor> vSensors;
    std::string strEnded;       // how the soak ended, when not at SETTLE as asked
    // CPU's cycles over the soak, or why they could not be counted.
    bool bCycles = false;
    tuint64 qwCycles = 0;
    std::string strNoCycles;
    int nTicksPerSecond = 100;  // of /proc/stat
    // The CPU time over the soak of the threads the tool (or what it started) pinned to CPU
    // K, where it could be read; less at the end than at the start is not read.
    bool bToolNs = false;
    tint64 llToolNs = 0;
    tint64 usToolSpan = 0;  // between the two readings of it; the soak's length where 0
};

// "hogspin-board,model=M,kernel=K,host=H,board=B": which board a log comes from. A value keeps
// printable ASCII but ',', which becomes '_'.
std::string BoardLine(const std::string& strModel, const std::string& strKernel, const std::string& strHost,
                      const std::string& strBoard);

// "hogspin-trace,t_s,cpuK_busy_pct,cpuK_mhz,ZONE_c...,METER_w..." and "hogspin-limits,...".
std::string TraceHeader(const SSoakSetup& setup);
std::string LimitsLine(const SSoakSetup& setup);

// Sample iSample as a trace line, newline included, into pBuf; its length, 0 if it did not fit.
size_t FormatTraceLine(const SSoakSetup& setup, const SSoakTrace& trace, size_t iSample, char* pBuf, size_t cb);

// Every verdict of the soak, from its samples alone.
std::vector<SCase> JudgeSoak(const SSoakSetup& setup, const SSoakTrace& trace);

// "hogspin-fit,ZONE,t0_c=..,tinf_c=..,tau_s=.." for each zone a first-order response describes.
std::string FitLines(const SSoakSetup& setup, const SSoakTrace& trace);

// True once every zone that can be fitted (one at least) is within 0.5 C of where it settles
// and the soak has lasted 3 τ of each; pstrWhy then says so.
bool SoakIsSteady(const SSoakSetup& setup, const SSoakTrace& trace, std::string* pstrWhy);

// Text the tool wrote, safe in a case line: control characters as '?', at most nMax bytes.
std::string Printable(const std::string& str, size_t nMax = 200);

// The tool's first line; strOnline is read only when it is wrong.
SCase JudgeSummary(const std::string& strSummary, int nCPU, int nThreads, const std::string& strOnline);

// Each worker's Cpus_allowed_list and the CPU it last ran on.
struct SWorker
{
    std::string strAllowed;
    std::string strLastCPU;
};
SCase JudgePinned(const std::vector<SWorker>& vWorkers, int nCPU, int nThreads);

// How the tool ended after SIGINT.
struct SStop
{
    bool bSignalled = false;  // SIGINT was sent while it ran
    bool bKilled = false;     // it outlived the bound
    int iStatus = 0;          // its exit status, 128 + N for signal N
    std::string strLastLine;
    std::string strBound;     // STOP_BOUND as given
    bool bTreeKilled = false; // it ended, but what it started outlived the bound
};
SCase JudgeStop(const SStop& stop, int nCPU);
