// SPDX-License-Identifier: MIT
// Reads sysfs: small files and directories, the board's sensors and model, a value from a descriptor kept open.
#pragma once

#include <string>
#include <vector>

#include "../../Common/Layer2_Platform/Linux_ARM_glibc/PFSystem.h"
#include "SoakData.h"
#include "SysfsText.h"

// The entries of a directory that start with strPrefix and end with strSuffix, sorted.
std::vector<std::string> ListEntries(const std::string& strDir, const std::string& strPrefix, const std::string& strSuffix);

// The first line of a file, blanks around it trimmed, or "" when it cannot be read.
std::string ReadFirstLine(const std::string& strPath);

// Every thermal zone and cooling device, then every hwmon power meter, then every energy
// counter under strSysfs, each with the name it gives itself; the cooling devices that cap
// CPU nCPU's clock marked.
std::vector<SRawSensor> FindSensors(const std::string& strSysfs, int nCPU);

// Whether a cooling device of type strType caps CPU nCPU: cpufreq's, named for the first CPU
// of nCPU's policy ("cpufreq-cpu0"), or for nCPU itself where the policy cannot be read. An
// older kernel's "thermal-cpufreq-N" numbers the device, not a CPU, and tells nothing.
bool CapsCPU(const std::string& strSysfs, const std::string& strType, int nCPU);

// Which board this is: the device tree's model or the firmware's product name.
std::string ReadBoardModel(const std::string& strSysfs);

// Whether a path is there, even a dangling symbolic link: a sensor that cannot be read is
// said, not left out.
bool Exists(const std::string& strPath);

// Where a cpufreq file gave nothing: "absent" where it is not there, "unreadable" where it is.
std::string WhyNothing(const std::string& strPath);

// A sensor file's number, read again from the start of its descriptor; kMissing where none.
tint64 ReadValue(FDHANDLE hFile);

// A file's first line as a number, or kMissing.
tint64 ReadNumber(const std::string& strPath);

// CPU nCPU's operating points, highest first: scaling_available_frequencies, else the clocks
// time_in_state counts; none, and *pstrWhy what those files were, where neither gives any.
std::vector<tint64> ReadClocks(const std::string& strSysfs, int nCPU, std::string* pstrWhy);

// The CPUs of CPU nCPU's cpufreq policy (related_cpus), ascending; none where it has no cpufreq.
std::vector<int> ReadPolicyCpus(const std::string& strSysfs, int nCPU);
