// SPDX-License-Identifier: MIT
// What sysfs files hold, as text: a sensor's value, a cooling device's and cpufreq's state
// times, and the case names sensors give themselves.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "SoakData.h"

// A sensor file's number: digits with an optional '-', with blanks and a newline around them or
// not; kMissing for anything else.
tint64 ParseSensorValue(const char* p, const char* pEnd);

// A cooling device's stats/time_in_state_ms ("stateN\tMS" a line): the time above state 0, in
// µs, or kMissing.
tint64 ParseCoolingTime(const char* p, const char* pEnd);

// cpufreq's stats/time_in_state ("kHz time" a line, time in 10 ms): up to nMax states into the
// arrays, the times in µs; their count, or 0 when it is not that.
size_t ParseTimeInState(const char* p, const char* pEnd, tint64* pllKHz, tint64* pusTime, size_t nMax);

// What a sensor calls itself: a zone's type; an hwmon device's name and the input's label,
// or the input's own name where it has none.
struct SRawSensor
{
    ESensorKind eKind;
    std::string strPath;
    std::string strType;
    bool bOfCPU = false;
    std::vector<tint64> vllPassiveTrips = {};
};

// scaling_available_frequencies ("kHz kHz ..."): the clocks, highest first; none where it is
// not that.
std::vector<tint64> ParseClockList(const char* p, const char* pEnd);

// Case names from raw names, in order: only letters, digits, '_' and '-' (a database may
// read a dot as hierarchy); the directory's name where nothing is left, and before a zone's
// that starts "fast-"; "-N", then "-N-2", ... added while another sensor of the kind has the
// name. A path that holds anything else is left out.
std::vector<SSensor> NameSensors(const std::vector<SRawSensor>& vRaw);

// A device tree property of one 32-bit cell, as of_node shows it: 4 bytes, big-endian; kMissing
// for anything else.
tint64 ParseDtCell(const char* p, size_t cb);

// A debugfs OPP directory's name, "opp:HZ" or "opp:HZ-LEVEL": its clock in kHz, or kMissing.
tint64 ParseOppDirKHz(const std::string& strName);

// The CPUs the kernel's list format names ("2", "0-3", "0,2,4-5", as online prints it), in the
// order given; false with what is wrong where it is not that, names a CPU from 1024 on, or
// names one twice.
const int kMaxCpuIndex = 1023;
bool ParseCpuList(const std::string& strList, std::vector<int>* pvnCPUs, std::string* pstrWhy);

// The list format of ascending CPUs, ranges joined: {0, 1, 2, 5} is "0-2,5".
std::string CpuListText(const std::vector<int>& vnCPUs);
