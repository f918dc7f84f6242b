// SPDX-License-Identifier: MIT
// Reads sysfs: small files and directories, the board's sensors and model, a value from a descriptor kept open.
#include "SysfsRead.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>

#include "../../Common/Layer2_Platform/Linux_ARM_glibc/PFSystem.h"

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

// Where a cpufreq file gave nothing: "absent" where it is not there, "unreadable" where it is.
std::string WhyNothing(const std::string& strPath)
{
    return Exists(strPath) ? "unreadable" : "absent";
}

tint64 ReadNumber(const std::string& strPath)
{
    const std::string str = ReadFirstLine(strPath);
    return ParseSensorValue(str.data(), str.data() + str.size());
}

std::vector<int> ReadPolicyCpus(const std::string& strSysfs, int nCPU)
{
    // related_cpus is a list of numbers with blanks between, not the list format.
    std::string strRelated = ReadFirstLine(strSysfs + "/devices/system/cpu/cpu" + std::to_string(nCPU) + "/cpufreq/related_cpus");
    std::replace(strRelated.begin(), strRelated.end(), ' ', ',');
    std::vector<int> vnCPUs;
    std::string strWhy;
    if (strRelated.empty() || !ParseCpuList(strRelated, &vnCPUs, &strWhy) ||
        std::find(vnCPUs.begin(), vnCPUs.end(), nCPU) == vnCPUs.end())
    {
        return {};
    }
    std::sort(vnCPUs.begin(), vnCPUs.end());
    return vnCPUs;
}

std::vector<tint64> ReadClocks(const std::string& strSysfs, int nCPU, std::string* pstrWhy)
{
    const std::string strDir = strSysfs + "/devices/system/cpu/cpu" + std::to_string(nCPU) + "/cpufreq/";
    char ac[4096];
    ssize_t cb = CPFSystem::ReadSmallFile((strDir + "scaling_available_frequencies").c_str(), ac, sizeof(ac));
    std::vector<tint64> vllKHz = cb > 0 ? ParseClockList(ac, ac + cb) : std::vector<tint64>();
    if (vllKHz.empty())
    {
        cb = CPFSystem::ReadSmallFile((strDir + "stats/time_in_state").c_str(), ac, sizeof(ac));
        tint64 allKHz[64], allTime[64];
        const size_t n = cb > 0 ? ParseTimeInState(ac, ac + cb, allKHz, allTime, 64) : 0;
        vllKHz.assign(allKHz, allKHz + n);
        std::sort(vllKHz.rbegin(), vllKHz.rend());
    }
    *pstrWhy = vllKHz.empty() ? WhyNothing(strDir + "stats/time_in_state") : "";
    return vllKHz;
}
