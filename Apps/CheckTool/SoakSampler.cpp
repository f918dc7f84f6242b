// SPDX-License-Identifier: MIT
// Samples the board's sensors, the clock and CPU K's busy time, from descriptors kept open.
#include "SoakSampler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "SoakLines.h"
#include "SysfsRead.h"

CSoakSampler::~CSoakSampler()
{
    CPFSystem::CloseHandle(m_hStat);
    const auto close = [](SClockFiles& clock) {
        CPFSystem::CloseHandle(clock.hFreq);
        CPFSystem::CloseHandle(clock.hMaxFreq);
        CPFSystem::CloseHandle(clock.hStates);
    };
    close(m_clock);
    std::for_each(m_vPolicyClocks.begin(), m_vPolicyClocks.end(), close);
    for (FDHANDLE& h : m_vhSensors)
    {
        CPFSystem::CloseHandle(h);
    }
}

// A policy's clock files, through CPU strCPUDir's cpufreq, and what the board learns of them.
void CSoakSampler::OpenClock(const std::string& strCPUDir, SClockFiles& clock, SBoard& board)
{
    // cpufreq's time_in_state, where it has one: its clocks are fixed for the soak.
    const std::string strStates = strCPUDir + "/stats/time_in_state";
    clock.hStates = CPFSystem::CreateFile(strStates.c_str());
    tint64 allKHz[64], allTime[64];
    const ssize_t cbStates = clock.hStates >= 0 ? CPFSystem::ReadFileAt(clock.hStates, m_vcText.data(), m_vcText.size()) : -1;
    const size_t nStates = cbStates > 0 ? ParseTimeInState(m_vcText.data(), m_vcText.data() + cbStates, allKHz, allTime, 64) : 0;
    clock.vllStateKHz.assign(allKHz, allKHz + nStates);
    board.strStatesWhy = nStates > 0 ? "" : WhyNothing(strStates);
    // The operating points: the policy's list, else the clocks time_in_state counts.
    char acList[4096];
    const ssize_t cbList = CPFSystem::ReadSmallFile((strCPUDir + "/scaling_available_frequencies").c_str(), acList, sizeof(acList));
    board.vllOppKHz = cbList > 0 ? ParseClockList(acList, acList + cbList) : std::vector<tint64>();
    if (board.vllOppKHz.empty())
    {
        board.vllOppKHz = clock.vllStateKHz;
        std::sort(board.vllOppKHz.rbegin(), board.vllOppKHz.rend());
    }
    clock.hFreq = CPFSystem::CreateFile((strCPUDir + "/scaling_cur_freq").c_str());
    board.strCurFreqWhy = ReadValue(clock.hFreq) != kMissing ? "" : WhyNothing(strCPUDir + "/scaling_cur_freq");
    clock.hMaxFreq = CPFSystem::CreateFile((strCPUDir + "/scaling_max_freq").c_str());
}

void CSoakSampler::Open(const std::string& strSysfs, int nCPU, SBoard& board)
{
    m_vcText.resize(16384);
    OpenClock(strSysfs + "/devices/system/cpu/cpu" + std::to_string(nCPU) + "/cpufreq", m_clock, board);
    m_hStat = CPFSystem::CreateFile("/proc/stat");
    m_strStatKey = "\ncpu" + std::to_string(nCPU) + " ";
    m_llTicksPerSecond = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
    // /proc/stat grows with the CPUs: sized once, with room, so that a sample allocates nothing.
    m_vcStat.resize(65536);
    while (m_hStat >= 0 && m_vcStat.size() < (64U << 20) &&
           CPFSystem::ReadFileAt(m_hStat, m_vcStat.data(), m_vcStat.size()) == static_cast<ssize_t>(m_vcStat.size()))
    {
        m_vcStat.resize(2 * m_vcStat.size());
    }
    for (const SSensor& sensor : board.vSensors)
    {
        m_vhSensors.push_back(CPFSystem::CreateFile((strSysfs + "/" + sensor.strPath).c_str()));
    }
    m_vcLine.resize(128 + 40 * board.vSensors.size());
}

void CSoakSampler::AddPolicy(const std::string& strSysfs, SPolicyTrace& policy, size_t nRows)
{
    m_vPolicyClocks.emplace_back();
    SClockFiles& clock = m_vPolicyClocks.back();
    OpenClock(strSysfs + "/devices/system/cpu/cpu" + std::to_string(policy.nCPU) + "/cpufreq", clock, policy.board);
    // Sized as the soak's, which the check has already found it can hold.
    (void)policy.trace.Reserve(nRows, 0, clock.vllStateKHz.size());
    policy.trace.vllStateKHz = clock.vllStateKHz;
}

// The row's clock, its cap and its cpufreq time_in_state, when its clocks are the ones the
// soak began with.
void CSoakSampler::ReadClock(const SClockFiles& clock, SSoakTrace& trace, size_t iRow)
{
    trace.vllKHz[iRow] = ReadValue(clock.hFreq);
    trace.vllMaxKHz[iRow] = ReadValue(clock.hMaxFreq);
    if (trace.nStates == 0)
    {
        return;
    }
    const ssize_t cb = CPFSystem::ReadFileAt(clock.hStates, m_vcText.data(), m_vcText.size());
    tint64 allKHz[64];
    tint64* pusTime = &trace.vllStateTime[iRow * trace.nStates];
    const size_t n = cb > 0 ? ParseTimeInState(m_vcText.data(), m_vcText.data() + cb, allKHz, pusTime, trace.nStates) : 0;
    if (n != trace.nStates || !std::equal(allKHz, allKHz + n, trace.vllStateKHz.begin()))
    {
        std::fill(pusTime, pusTime + trace.nStates, kMissing);
    }
}

void CSoakSampler::CountCpus(const std::vector<int>& vnCPUs)
{
    for (const int nCPU : vnCPUs)
    {
        m_vstrCpuKeys.push_back("\ncpu" + std::to_string(nCPU) + " ");
    }
    m_vllCpuBusy.assign(vnCPUs.size(), kMissing);
    m_vllCpuTotal.assign(vnCPUs.size(), kMissing);
}

// A CPU's line of the /proc/stat just read. Busy: all but idle and iowait of user nice
// system idle iowait irq softirq steal, in clock ticks, kept in µs.
bool CSoakSampler::ReadStatLine(const char* pszKey, tint64* pusBusy, tint64* pusTotal) const
{
    const char* p = std::strstr(m_vcStat.data(), pszKey);
    if (p == nullptr)
    {
        return false;
    }
    p += std::strlen(pszKey);
    tint64 all[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (tint64& ll : all)
    {
        char* pEnd = nullptr;
        ll = static_cast<tint64>(std::strtoull(p, &pEnd, 10));
        p = pEnd;
    }
    const tint64 llBusy = all[0] + all[1] + all[2] + all[5] + all[6] + all[7];
    *pusBusy = llBusy * 1000000 / m_llTicksPerSecond;
    *pusTotal = (llBusy + all[3] + all[4]) * 1000000 / m_llTicksPerSecond;
    return true;
}

void CSoakSampler::TakeSample(const std::vector<SSensor>& vSensors, SSoakTrace& trace, tuint64 qwStartNs)
{
    const size_t iRow = trace.nSamples;
    trace.vllTimeUs[iRow] = (static_cast<tint64>(CPFSystem::QueryTickCountNs()) - static_cast<tint64>(qwStartNs)) / 1000;
    const ssize_t cb = CPFSystem::ReadFileAt(m_hStat, m_vcStat.data(), m_vcStat.size() - 1);
    m_vcStat[cb > 0 ? static_cast<size_t>(cb) : 0] = '\0';
    ReadStatLine(m_strStatKey.c_str(), &trace.vllBusy[iRow], &trace.vllTotal[iRow]);
    for (size_t i = 0; i < m_vstrCpuKeys.size(); ++i)
    {
        m_vllCpuBusy[i] = kMissing;
        m_vllCpuTotal[i] = kMissing;
        ReadStatLine(m_vstrCpuKeys[i].c_str(), &m_vllCpuBusy[i], &m_vllCpuTotal[i]);
    }
    for (size_t k = 0; k < m_vhSensors.size(); ++k)
    {
        tint64& llValue = trace.vllValues[iRow * trace.nSensors + k];
        if (vSensors[k].eKind != ESensorKind::Cooling)
        {
            llValue = ReadValue(m_vhSensors[k]);
            continue;
        }
        const ssize_t cbText = m_vhSensors[k] >= 0 ? CPFSystem::ReadFileAt(m_vhSensors[k], m_vcText.data(), m_vcText.size()) : -1;
        llValue = cbText > 0 ? ParseCoolingTime(m_vcText.data(), m_vcText.data() + cbText) : kMissing;
    }
    ReadClock(m_clock, trace, iRow);
    ++trace.nSamples;
}

void CSoakSampler::TakeSample(const std::vector<SSensor>& vSensors, SSoakTrace& trace, tuint64 qwStartNs, std::vector<SPolicyTrace>& vPolicies)
{
    const size_t iRow = trace.nSamples;
    TakeSample(vSensors, trace, qwStartNs);
    for (size_t i = 0; i < vPolicies.size() && i < m_vPolicyClocks.size(); ++i)
    {
        SSoakTrace& policy = vPolicies[i].trace;
        policy.vllTimeUs[iRow] = trace.vllTimeUs[iRow];
        policy.vllBusy[iRow] = trace.vllBusy[iRow];
        policy.vllTotal[iRow] = trace.vllTotal[iRow];
        ReadClock(m_vPolicyClocks[i], policy, iRow);
        policy.nSamples = iRow + 1;
    }
}

size_t CSoakSampler::FormatLastLine(const std::vector<SSensor>& vSensors, const SSoakTrace& trace)
{
    return FormatTraceLine(vSensors, trace, trace.nSamples - 1, m_vcLine.data(), m_vcLine.size());
}
