// SPDX-License-Identifier: MIT
// The board's sensors, CPU K's clock and busy time: each file opened once, and read into the
// trace a sample at a time.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "../../Common/Layer2_Platform/Linux_ARM_glibc/PFSystem.h"
#include "SoakData.h"

class CSoakSampler
{
public:
    CSoakSampler() = default;
    CSoakSampler(const CSoakSampler&) = delete;
    CSoakSampler& operator=(const CSoakSampler&) = delete;
    ~CSoakSampler();

    // Opens every file a sample reads (the board's sensors among them) for the whole soak, and
    // sizes the buffers so that a sample allocates nothing; the clocks of CPU nCPU's
    // time_in_state are fixed from here. Says in the board what cpufreq gives: the operating
    // points, or why there are none.
    void Open(const std::string& strSysfs, int nCPU, SBoard& board);
    size_t StateCount() const { return m_clock.vllStateKHz.size(); }
    const std::vector<tint64>& StateClocks() const { return m_clock.vllStateKHz; }

    // With a list of CPUs, a further policy's clock files, opened for the soak as CPU K's are,
    // and its trace sized as the soak's nRows: each sample fills its row there too.
    void AddPolicy(const std::string& strSysfs, SPolicyTrace& policy, size_t nRows);

    // Takes a sample into the trace's next row, its time since the monotonic qwStartNs.
    void TakeSample(const std::vector<SSensor>& vSensors, SSoakTrace& trace, tuint64 qwStartNs);
    void TakeSample(const std::vector<SSensor>& vSensors, SSoakTrace& trace, tuint64 qwStartNs, std::vector<SPolicyTrace>& vPolicies);

    // With a list of CPUs, each one's busy and total time (µs, kMissing where its line is not
    // found) is read from the same /proc/stat as CPU K's at every sample: the latest, by index.
    void CountCpus(const std::vector<int>& vnCPUs);
    tint64 LatestBusy(size_t i) const { return m_vllCpuBusy[i]; }
    tint64 LatestTotal(size_t i) const { return m_vllCpuTotal[i]; }

    // The last sample as a trace line, in a buffer of the sampler's until the next call: its
    // length, 0 if it did not fit.
    size_t FormatLastLine(const std::vector<SSensor>& vSensors, const SSoakTrace& trace);
    const char* Line() const { return m_vcLine.data(); }

private:
    // A policy's clock: scaling_cur_freq, scaling_max_freq and time_in_state, whose clocks are
    // fixed as it is opened.
    struct SClockFiles
    {
        FDHANDLE hFreq = -1;
        FDHANDLE hMaxFreq = -1;
        FDHANDLE hStates = -1;
        std::vector<tint64> vllStateKHz;
    };

    void OpenClock(const std::string& strCPUDir, SClockFiles& clock, SBoard& board);
    void ReadClock(const SClockFiles& clock, SSoakTrace& trace, size_t iRow);
    bool ReadStatLine(const char* pszKey, tint64* pusBusy, tint64* pusTotal) const;

    FDHANDLE m_hStat = -1;
    std::vector<char> m_vcStat;
    std::string m_strStatKey;  // "\ncpuK "
    std::vector<std::string> m_vstrCpuKeys;  // each listed CPU's
    std::vector<tint64> m_vllCpuBusy;
    std::vector<tint64> m_vllCpuTotal;
    tint64 m_llTicksPerSecond = 100;
    SClockFiles m_clock;  // CPU K's
    std::vector<SClockFiles> m_vPolicyClocks;
    std::vector<FDHANDLE> m_vhSensors;
    std::vector<char> m_vcLine;
    std::vector<char> m_vcText;  // a file of lines: time_in_state, a cooling device's
};
