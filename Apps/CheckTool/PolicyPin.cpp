// SPDX-License-Identifier: MIT
// Writes CPU K's policy bounds for the sweep and back; reads the voltages and coefficient the kernel was given.
#include "PolicyPin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "../../Common/Layer2_Platform/Linux_ARM_glibc/PFSystem.h"
#include "SysfsRead.h"
#include "SysfsText.h"

namespace
{

// cpufreq takes a bound as the text of a number; "" or the kernel's reason for refusing it.
std::string WriteNumber(const std::string& strPath, tint64 ll)
{
    const int fd = open(strPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const std::string str = std::to_string(ll) + "\n";
    const bool bDone = fd >= 0 && write(fd, str.data(), str.size()) == static_cast<ssize_t>(str.size());
    const int iErr = errno;
    // sysfs applies a write at once; close reports nothing more.
    if (fd >= 0)
    {
        close(fd);
    }
    return bDone ? "" : strPath.substr(strPath.rfind('/') + 1) + " refused " + std::to_string(ll) + ": " + std::strerror(iErr);
}

} // namespace

std::string CPolicyPin::Open(const std::string& strSysfs, int nCPU)
{
    m_strDir = strSysfs + "/devices/system/cpu/cpu" + std::to_string(nCPU) + "/cpufreq/";
    m_llMin = ReadNumber(m_strDir + "scaling_min_freq");
    m_llMax = ReadNumber(m_strDir + "scaling_max_freq");
    m_llNowMin = m_llMin;
    m_llNowMax = m_llMax;
    if (m_llMin == kMissing || m_llMax == kMissing)
    {
        return "scaling_min_freq and scaling_max_freq cannot be read under " + m_strDir;
    }
    // Since 5.3 scaling_max_freq reads the bound in force, a thermal cap's included: one read
    // under a cap would be written back as the user's own, and the board left capped.
    for (const std::string& strDevice : ListEntries(strSysfs + "/class/thermal", "cooling_device", ""))
    {
        const std::string strDevDir = strSysfs + "/class/thermal/" + strDevice;
        const std::string strType = ReadFirstLine(strDevDir + "/type");
        const tint64 llState = ReadNumber(strDevDir + "/cur_state");
        if (CapsCPU(strSysfs, strType, nCPU) && llState != kMissing && llState > 0)
        {
            return strType + " is at state " + std::to_string(llState) + ": scaling_max_freq reads its cap (" + std::to_string(m_llMax) +
                   " kHz), not the bound the sweep would put back";
        }
    }
    for (const char* pszFile : {"scaling_min_freq", "scaling_max_freq"})
    {
        const int fd = open((m_strDir + pszFile).c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
        {
            return std::string(pszFile) + " cannot be written: " + std::strerror(errno) +
                   (errno == EACCES ? " (the sweep needs root)" : "");
        }
        close(fd);
    }
    return "";
}

// An older kernel refuses a minimum above the maximum: the bound that makes room goes first.
std::string CPolicyPin::WriteBounds(tint64 llMin, tint64 llMax)
{
    m_bWritten = true;
    const bool bUp = llMin > m_llNowMax;
    std::string strWhy = bUp ? WriteNumber(m_strDir + "scaling_max_freq", llMax) : WriteNumber(m_strDir + "scaling_min_freq", llMin);
    // The other is written even so: a restore puts back what it can.
    const std::string strOther = bUp ? WriteNumber(m_strDir + "scaling_min_freq", llMin) : WriteNumber(m_strDir + "scaling_max_freq", llMax);
    strWhy = strWhy.empty() ? strOther : strWhy;
    // What the kernel holds now, whatever it took.
    m_llNowMin = ReadNumber(m_strDir + "scaling_min_freq");
    m_llNowMax = ReadNumber(m_strDir + "scaling_max_freq");
    return strWhy;
}

std::string CPolicyPin::Pin(tint64 llKHz)
{
    return WriteBounds(llKHz, llKHz);
}

std::string CPolicyPin::Restore()
{
    if (!m_bWritten)
    {
        return "";
    }
    const std::string strWhy = WriteBounds(m_llMin, m_llMax);
    m_bWritten = false;
    if (m_llNowMin == m_llMin && m_llNowMax == m_llMax)
    {
        return "";
    }
    // A thermal cap shows in scaling_max_freq too, over what was written.
    const bool bCapped = strWhy.empty() && m_llNowMin == m_llMin && m_llNowMax != kMissing && m_llNowMax < m_llMax;
    return "after the sweep scaling_min_freq read " + (m_llNowMin == kMissing ? "nothing" : std::to_string(m_llNowMin) + " kHz") +
           " and scaling_max_freq " + (m_llNowMax == kMissing ? "nothing" : std::to_string(m_llNowMax) + " kHz") +
           (!strWhy.empty() ? ": " + strWhy : bCapped ? std::string(" (a thermal cap lowers the maximum read; look again once the board is cool)") : "");
}

tint64 CPolicyPin::ReadClock() const
{
    return ReadNumber(m_strDir + "scaling_cur_freq");
}

std::string CPolicyPin::Before() const
{
    return std::to_string(m_llMin) + " and " + std::to_string(m_llMax) + " kHz";
}

tint64 ReadOppMicroVolts(const std::string& strSysfs, int nCPU, tint64 llKHz, std::string* pstrWhere)
{
    std::string strTable = strSysfs + "/kernel/debug/opp/cpu" + std::to_string(nCPU);
    if (ListEntries(strTable, "opp:", "").empty())
    {
        // A policy's CPUs share one table, which the kernel may list under its first CPU alone.
        const std::string strRelated = ReadFirstLine(strSysfs + "/devices/system/cpu/cpu" + std::to_string(nCPU) + "/cpufreq/related_cpus");
        const int nFirst = strRelated.empty() ? nCPU : std::atoi(strRelated.c_str());
        strTable = strSysfs + "/kernel/debug/opp/cpu" + std::to_string(nFirst);
    }
    *pstrWhere = strTable;
    for (const std::string& strOpp : ListEntries(strTable, "opp:", ""))
    {
        if (ParseOppDirKHz(strOpp) == llKHz)
        {
            // One supply per directory since 4.18; the CPU's is the first. Older kernels had one.
            tint64 llUv = ReadNumber(strTable + "/" + strOpp + "/supply-0/u_volt_target");
            llUv = llUv != kMissing ? llUv : ReadNumber(strTable + "/" + strOpp + "/u_volt_target");
            return llUv > 0 ? llUv : kMissing;
        }
    }
    return kMissing;
}

tint64 ReadDtCoefficient(const std::string& strSysfs, int nCPU)
{
    char acCell[8];
    const std::string strPath = strSysfs + "/devices/system/cpu/cpu" + std::to_string(nCPU) + "/of_node/dynamic-power-coefficient";
    const ssize_t cb = CPFSystem::ReadSmallFile(strPath.c_str(), acCell, sizeof(acCell));
    return cb > 0 ? ParseDtCell(acCell, static_cast<size_t>(cb)) : kMissing;
}
