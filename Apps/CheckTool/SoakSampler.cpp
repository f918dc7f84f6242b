// SPDX-License-Identifier: MIT
// Finds the board's sensors and samples them, the clock and CPU K's busy time, from descriptors kept open.
#include "SoakSampler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SoakLines.h"

namespace
{

// Even a dangling symbolic link: a sensor that cannot be read is said, not left out.
bool Exists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

tint64 ReadValue(FDHANDLE hFile)
{
    char acBuf[64];
    const ssize_t cb = hFile >= 0 ? CPFSystem::ReadFileAt(hFile, acBuf, sizeof(acBuf)) : -1;
    return cb > 0 ? ParseSensorValue(acBuf, acBuf + cb) : kMissing;
}

} // namespace

std::vector<std::string> ListEntries(const std::string& strDir, const std::string& strPrefix, const std::string& strSuffix)
{
    std::vector<std::string> vNames;
    if (DIR* pDir = opendir(strDir.c_str()))
    {
        while (const dirent* pEntry = readdir(pDir))
        {
            const std::string strName = pEntry->d_name;
            if (strName.size() >= strPrefix.size() + strSuffix.size() && strName.compare(0, strPrefix.size(), strPrefix) == 0 &&
                strName.compare(strName.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0)
            {
                vNames.push_back(strName);
            }
        }
        closedir(pDir);
    }
    std::sort(vNames.begin(), vNames.end());
    return vNames;
}

std::string ReadFirstLine(const std::string& strPath)
{
    char acBuf[4097];
    const ssize_t cb = CPFSystem::ReadSmallFile(strPath.c_str(), acBuf, sizeof(acBuf));
    const std::string str = cb > 0 ? std::string(acBuf, static_cast<size_t>(cb)) : std::string();
    const std::string strLine = str.substr(0, str.find('\n'));
    const size_t nFirst = strLine.find_first_not_of(" \t");
    const size_t nLast = strLine.find_last_not_of(" \t");
    return nFirst == std::string::npos ? std::string() : strLine.substr(nFirst, nLast - nFirst + 1);
}

// A zone's passive trip points (trip_point_N_type "passive", trip_point_N_temp in m°C), lowest
// first: where the kernel's power allocator switches on and what it controls to.
static std::vector<tint64> PassiveTrips(const std::string& strZone)
{
    std::vector<tint64> vll;
    for (const std::string& strTrip : ListEntries(strZone, "trip_point_", "_type"))
    {
        const std::string strBase = strZone + "/" + strTrip.substr(0, strTrip.size() - 5);
        const std::string strTemp = ReadFirstLine(strBase + "_temp");
        const tint64 ll = ParseSensorValue(strTemp.data(), strTemp.data() + strTemp.size());
        if (ReadFirstLine(strBase + "_type") == "passive" && ll != kMissing)
        {
            vll.push_back(ll);
        }
    }
    std::sort(vll.begin(), vll.end());
    return vll;
}

bool CapsCPU(const std::string& strSysfs, const std::string& strType, int nCPU)
{
    const size_t nDigits = strType.find_last_not_of("0123456789") + 1;
    if (strType.compare(0, 11, "cpufreq-cpu") != 0 || nDigits == strType.size() || nDigits != 11)
    {
        return false;
    }
    const int nNamed = std::atoi(strType.c_str() + nDigits);
    std::string strRelated =
        ReadFirstLine(strSysfs + "/devices/system/cpu/cpu" + std::to_string(nCPU) + "/cpufreq/related_cpus");
    if (strRelated.empty())
    {
        return nNamed == nCPU;
    }
    for (char* p = &strRelated[0]; *p != '\0';)
    {
        char* pEnd = nullptr;
        if (std::strtol(p, &pEnd, 10) == nNamed && pEnd != p)
        {
            return true;
        }
        p = *pEnd == '\0' ? pEnd : pEnd + 1;
    }
    return false;
}

std::vector<SRawSensor> FindSensors(const std::string& strSysfs, int nCPU)
{
    std::vector<SRawSensor> vRaw;
    for (const std::string& strZone : ListEntries(strSysfs + "/class/thermal", "thermal_zone", ""))
    {
        const std::string strPath = "class/thermal/" + strZone + "/temp";
        if (Exists(strSysfs + "/" + strPath))
        {
            vRaw.push_back(SRawSensor{ESensorKind::Temp, strPath, ReadFirstLine(strSysfs + "/class/thermal/" + strZone + "/type"), false,
                                      PassiveTrips(strSysfs + "/class/thermal/" + strZone)});
        }
    }
    // A cooling device counts the time it spent in each state only where the kernel keeps its statistics.
    for (const std::string& strDevice : ListEntries(strSysfs + "/class/thermal", "cooling_device", ""))
    {
        const std::string strPath = "class/thermal/" + strDevice + "/stats/time_in_state_ms";
        if (Exists(strSysfs + "/" + strPath))
        {
            const std::string strType = ReadFirstLine(strSysfs + "/class/thermal/" + strDevice + "/type");
            vRaw.push_back(SRawSensor{ESensorKind::Cooling, strPath, strType, CapsCPU(strSysfs, strType, nCPU), {}});
        }
    }
    for (const ESensorKind eKind : {ESensorKind::Power, ESensorKind::Energy})
    {
        const char* pszInput = eKind == ESensorKind::Power ? "power" : "energy";
        std::vector<std::string> vPaths;
        for (const std::string& strHwmon : ListEntries(strSysfs + "/class/hwmon", "hwmon", ""))
        {
            for (const std::string& strInput : ListEntries(strSysfs + "/class/hwmon/" + strHwmon, pszInput, "_input"))
            {
                vPaths.push_back("class/hwmon/" + strHwmon + "/" + strInput);
            }
        }
        std::sort(vPaths.begin(), vPaths.end());  // as a shell's glob orders the whole paths
        for (const std::string& strPath : vPaths)
        {
            const std::string strDir = strSysfs + "/" + strPath.substr(0, strPath.rfind('/'));
            const std::string strInput = strPath.substr(strPath.rfind('/') + 1, strPath.size() - strPath.rfind('/') - 1 - 6);
            const std::string strLabel = ReadFirstLine(strDir + "/" + strInput + "_label");
            vRaw.push_back(SRawSensor{eKind, strPath, ReadFirstLine(strDir + "/name") + "-" + (strLabel.empty() ? strInput : strLabel), false, {}});
        }
    }
    return vRaw;
}

std::string ReadBoardModel(const std::string& strSysfs)
{
    // The device tree's model is NUL-terminated.
    std::string strModel = ReadFirstLine(strSysfs + "/firmware/devicetree/base/model");
    strModel = strModel.substr(0, strModel.find('\0'));
    return strModel.empty() ? ReadFirstLine(strSysfs + "/class/dmi/id/product_name") : strModel;
}

CSoakSampler::~CSoakSampler()
{
    CPFSystem::CloseHandle(m_hStat);
    CPFSystem::CloseHandle(m_hFreq);
    CPFSystem::CloseHandle(m_hMaxFreq);
    CPFSystem::CloseHandle(m_hStates);
    for (FDHANDLE& h : m_vhSensors)
    {
        CPFSystem::CloseHandle(h);
    }
}

// Where a cpufreq file gave nothing: "absent" where it is not there, "unreadable" where it is.
static std::string WhyNothing(const std::string& strPath)
{
    return Exists(strPath) ? "unreadable" : "absent";
}

void CSoakSampler::Open(const std::string& strSysfs, int nCPU, SSoakSetup& setup)
{
    const std::string strCPUDir = strSysfs + "/devices/system/cpu/cpu" + std::to_string(nCPU) + "/cpufreq";
    m_vcText.resize(16384);
    // cpufreq's time_in_state, where it has one: its clocks are fixed for the soak.
    const std::string strStates = strCPUDir + "/stats/time_in_state";
    m_hStates = CPFSystem::CreateFile(strStates.c_str());
    tint64 allKHz[64], allTime[64];
    const ssize_t cbStates = m_hStates >= 0 ? CPFSystem::ReadFileAt(m_hStates, m_vcText.data(), m_vcText.size()) : -1;
    const size_t nStates = cbStates > 0 ? ParseTimeInState(m_vcText.data(), m_vcText.data() + cbStates, allKHz, allTime, 64) : 0;
    m_vllStateKHz.assign(allKHz, allKHz + nStates);
    setup.strStatesWhy = nStates > 0 ? "" : WhyNothing(strStates);
    // The operating points: the policy's list, else the clocks time_in_state counts.
    char acList[4096];
    const ssize_t cbList = CPFSystem::ReadSmallFile((strCPUDir + "/scaling_available_frequencies").c_str(), acList, sizeof(acList));
    setup.vllOppKHz = cbList > 0 ? ParseClockList(acList, acList + cbList) : std::vector<tint64>();
    if (setup.vllOppKHz.empty())
    {
        setup.vllOppKHz = m_vllStateKHz;
        std::sort(setup.vllOppKHz.rbegin(), setup.vllOppKHz.rend());
    }
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
    m_hFreq = CPFSystem::CreateFile((strCPUDir + "/scaling_cur_freq").c_str());
    setup.strCurFreqWhy = ReadValue(m_hFreq) != kMissing ? "" : WhyNothing(strCPUDir + "/scaling_cur_freq");
    m_hMaxFreq = CPFSystem::CreateFile((strCPUDir + "/scaling_max_freq").c_str());
    for (const SSensor& sensor : setup.vSensors)
    {
        m_vhSensors.push_back(CPFSystem::CreateFile((strSysfs + "/" + sensor.strPath).c_str()));
    }
    m_vcLine.resize(128 + 40 * setup.vSensors.size());
}

// The row's cpufreq time_in_state, when its clocks are the ones the soak began with.
void CSoakSampler::ReadStates(SSoakTrace& trace, size_t iRow)
{
    if (trace.nStates == 0)
    {
        return;
    }
    const ssize_t cb = CPFSystem::ReadFileAt(m_hStates, m_vcText.data(), m_vcText.size());
    tint64 allKHz[64];
    tint64* pusTime = &trace.vllStateTime[iRow * trace.nStates];
    const size_t n = cb > 0 ? ParseTimeInState(m_vcText.data(), m_vcText.data() + cb, allKHz, pusTime, trace.nStates) : 0;
    if (n != trace.nStates || !std::equal(allKHz, allKHz + n, trace.vllStateKHz.begin()))
    {
        std::fill(pusTime, pusTime + trace.nStates, kMissing);
    }
}

void CSoakSampler::TakeSample(const SSoakSetup& setup, SSoakTrace& trace, tuint64 qwStartNs)
{
    const size_t iRow = trace.nSamples;
    trace.vllTimeUs[iRow] = (static_cast<tint64>(CPFSystem::QueryTickCountNs()) - static_cast<tint64>(qwStartNs)) / 1000;
    // Busy: all but idle and iowait of user nice system idle iowait irq softirq steal, in
    // clock ticks, kept in µs.
    const ssize_t cb = CPFSystem::ReadFileAt(m_hStat, m_vcStat.data(), m_vcStat.size() - 1);
    const char* p = cb > 0 ? (m_vcStat[static_cast<size_t>(cb)] = '\0', std::strstr(m_vcStat.data(), m_strStatKey.c_str())) : nullptr;
    if (p != nullptr)
    {
        p += m_strStatKey.size();
        tint64 all[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (tint64& ll : all)
        {
            char* pEnd = nullptr;
            ll = static_cast<tint64>(std::strtoull(p, &pEnd, 10));
            p = pEnd;
        }
        const tint64 llBusy = all[0] + all[1] + all[2] + all[5] + all[6] + all[7];
        trace.vllBusy[iRow] = llBusy * 1000000 / m_llTicksPerSecond;
        trace.vllTotal[iRow] = (llBusy + all[3] + all[4]) * 1000000 / m_llTicksPerSecond;
    }
    trace.vllKHz[iRow] = ReadValue(m_hFreq);
    trace.vllMaxKHz[iRow] = ReadValue(m_hMaxFreq);
    for (size_t k = 0; k < m_vhSensors.size(); ++k)
    {
        tint64& llValue = trace.vllValues[iRow * trace.nSensors + k];
        if (setup.vSensors[k].eKind != ESensorKind::Cooling)
        {
            llValue = ReadValue(m_vhSensors[k]);
            continue;
        }
        const ssize_t cbText = m_vhSensors[k] >= 0 ? CPFSystem::ReadFileAt(m_vhSensors[k], m_vcText.data(), m_vcText.size()) : -1;
        llValue = cbText > 0 ? ParseCoolingTime(m_vcText.data(), m_vcText.data() + cbText) : kMissing;
    }
    ReadStates(trace, iRow);
    ++trace.nSamples;
}

size_t CSoakSampler::FormatLastLine(const SSoakSetup& setup, const SSoakTrace& trace)
{
    return FormatTraceLine(setup, trace, trace.nSamples - 1, m_vcLine.data(), m_vcLine.size());
}
