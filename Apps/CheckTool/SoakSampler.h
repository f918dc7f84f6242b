// SPDX-License-Identifier: MIT
// The board's sensors: found under sysfs, each opened once, and read into the trace a sample at a time.
#pragma once

#include <cstddef>
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

class CSoakSampler
{
public:
    CSoakSampler() = default;
    CSoakSampler(const CSoakSampler&) = delete;
    CSoakSampler& operator=(const CSoakSampler&) = delete;
    ~CSoakSampler();

    // Opens every file a sample reads, for the whole soak, and sizes the buffers so that a
    // sample allocates nothing; the clocks of CPU nCPU's time_in_state are fixed from here.
    // Says in the setup what cpufreq gives: the operating points, or why there are none.
    void Open(const std::string& strSysfs, int nCPU, SSoakSetup& setup);
    size_t StateCount() const { return m_vllStateKHz.size(); }
    const std::vector<tint64>& StateClocks() const { return m_vllStateKHz; }

    // Takes a sample into the trace's next row, its time since the monotonic qwStartNs.
    void TakeSample(const SSoakSetup& setup, SSoakTrace& trace, tuint64 qwStartNs);

    // The last sample as a trace line, in a buffer of the sampler's until the next call: its
    // length, 0 if it did not fit.
    size_t FormatLastLine(const SSoakSetup& setup, const SSoakTrace& trace);
    const char* Line() const { return m_vcLine.data(); }

private:
    void ReadStates(SSoakTrace& trace, size_t iRow);

    FDHANDLE m_hStat = -1;
    std::vector<char> m_vcStat;
    std::string m_strStatKey;  // "\ncpuK "
    tint64 m_llTicksPerSecond = 100;
    FDHANDLE m_hFreq = -1;
    FDHANDLE m_hMaxFreq = -1;
    FDHANDLE m_hStates = -1;   // cpufreq's time_in_state
    std::vector<tint64> m_vllStateKHz;
    std::vector<FDHANDLE> m_vhSensors;
    std::vector<char> m_vcLine;
    std::vector<char> m_vcText;  // a file of lines: time_in_state, a cooling device's
};
