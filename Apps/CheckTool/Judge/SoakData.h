// SPDX-License-Identifier: MIT
// What a soak is made of: what was asked, the board, the run's samples and the cases it gives.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "../../../Common/Layer2_Platform/Linux_ARM_glibc/base_type_define.h"

// Inside the check every time is in µs, and every other quantity in the unit the kernel
// writes it in (m°C, kHz, µW, µJ); the lines convert at the edge.

// A value that could not be read.
const tint64 kMissing = INT64_MIN;

// The most samples a soak takes, its baseline's included.
const size_t kMaxSamples = 1000000;

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
    std::string strLow = {};   // the figure's 95 % interval, in its units, where it rests on a fit
    std::string strHigh = {};
};

enum class ESensorKind
{
    Temp,     // a thermal zone, m°C
    Power,    // an hwmon power meter, µW
    Energy,   // an hwmon energy counter, µJ
    Cooling,  // a cooling device's time above state 0, µs
};

struct SSensor
{
    ESensorKind eKind;
    std::string strPath;  // under the sysfs root
    std::string strName;  // the case name's suffix
    bool bOfCPU = false;  // a cooling device that caps CPU K's clock (cpufreq's, of K's policy)
    std::vector<tint64> vllPassiveTrips = {};  // a zone's passive trip points, m°C, lowest first
};

// A parameter's limit in the samples' units (m°C, kHz, µW), exactly.
struct SLimit
{
    bool bSet = false;
    tint64 llValue = 0;
    std::string strText;  // as given
};

// The limits asked: MAX_TEMP, MIN_FREQ, MAX_POWER and SUSTAIN_TEMP.
struct SLimits
{
    SLimit limMaxTemp;
    SLimit limMinFreq;
    SLimit limMaxPower;
    SLimit limSustainTemp;  // the temperature sustainable power is reckoned at, m°C
};

// The samples of one soak; a row per sample, in time order: first the baseline's, taken
// before the tool started, then the soak's.
struct SSoakTrace
{
    size_t nSensors = 0;
    size_t nStates = 0;    // the clocks of CPU's cpufreq time_in_state
    size_t nSamples = 0;
    size_t nBaseline = 0;
    std::vector<tint64> vllTimeUs;     // since the tool was started: negative in the baseline
    std::vector<tint64> vllBusy;       // CPU's busy and total time from /proc/stat
    std::vector<tint64> vllTotal;
    std::vector<tint64> vllKHz;        // its clock
    std::vector<tint64> vllMaxKHz;     // its policy's scaling_max_freq: a cap lowers it
    std::vector<tint64> vllValues;     // nSensors a row
    std::vector<tint64> vllStateKHz;   // each state's clock
    std::vector<tint64> vllStateTime;  // nStates a row: the time spent at each

    // Room for nRows samples, taken now so that sampling allocates nothing.
    bool Reserve(size_t nRows, size_t nSensorsPerRow, size_t nStatesPerRow = 0);
    tint64 Value(size_t iSample, size_t iSensor) const { return vllValues[iSample * nSensors + iSensor]; }
};

// Rows [iFirst, iEnd) of the trace: the baseline's, or the soak's.
struct SRows
{
    size_t iFirst = 0;
    size_t iEnd = 0;
    size_t Count() const { return iEnd - iFirst; }
};

// One sensor's readings over some rows.
struct SSeries
{
    size_t nGot = 0;
    tint64 llFirst = kMissing;
    tint64 llLast = kMissing;
    tint64 llHigh = kMissing;
    tint64 llLow = kMissing;
    long double ldSum = 0;
    size_t iBack = 0;  // the sample at which a counter first went back; 0: never
    tint64 llBackFrom = 0;
    tint64 llBackTo = 0;
    tint64 usBack = 0;
    tint64 Mean() const;
};

// Sensor iSensor's readings over rows, or CPU K's clock's where bClock.
SSeries Summarise(const SSoakTrace& trace, size_t iSensor, bool bClock, SRows rows);

// What the board is, found once before the soak: its sensors, and CPU K's operating points,
// highest first, from scaling_available_frequencies or time_in_state; where cpufreq's files
// gave nothing, whether they were "absent" or "unreadable".
struct SBoard
{
    std::vector<SSensor> vSensors;
    std::vector<tint64> vllOppKHz;
    std::string strStatesWhy;
    std::string strCurFreqWhy;
};

// CPU K's cycles over the soak, or why they could not be counted.
struct SCycles
{
    bool bRead = false;
    tuint64 qwCycles = 0;
    std::string strWhyNot;
};

// The CPU time over the soak of the threads the tool (or what it started) pinned to CPU K,
// where it could be read; less at the end than at the start is not read.
struct SToolTime
{
    bool bRead = false;
    tint64 usTime = 0;
    tint64 usSpan = 0;  // between the two readings of it; the soak's length where 0
};

// With a list of CPUs, one loaded CPU over the soak: its busy and total time from /proc/stat
// (kMissing where its line was not read at both ends), the time its tool's threads ran there,
// and its cycles.
struct SCpuLoad
{
    int nCPU = 0;
    tint64 usBusy = kMissing;
    tint64 usSpent = kMissing;
    SToolTime tool;
    SCycles cycles;
};

// With a list of CPUs, a further policy that holds some of them: its clock's samples, row for
// row with the soak's (a trace of no sensors), and its board: its operating points.
struct SPolicyTrace
{
    int nCPU = 0;              // its first listed CPU, whose files are the policy's
    std::vector<int> vnCPUs;   // every CPU of the policy
    SBoard board;
    SSoakTrace trace;
};

// What the run measured: the samples, CPU K's cycles, the tool's time, and how and when the
// soak ended; with a list of CPUs, each one's load, in the list's order, and each further
// policy's clock.
struct SSoakRun
{
    SSoakTrace trace;
    tint64 usPlanned = 0;  // the soak's length as it was to run: its samples times INTERVAL
    std::string strEnded;  // how the soak ended, when not at SETTLE as asked
    bool bCut = false;     // the load failed (a tool ended, or could not pin): nothing is judged on it
    SCycles cycles;
    SToolTime tool;
    std::vector<SCpuLoad> vLoads;
    std::vector<SPolicyTrace> vPolicies;
};

// Each worker's Cpus_allowed_list and the CPU it last ran on.
struct SWorker
{
    std::string strAllowed;
    std::string strLastCPU;
};

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

// The least positive difference between readings: a sensor's or a meter's step; 0 where they
// hold one value.
tint64 SmallestStep(std::vector<tint64> vll);
