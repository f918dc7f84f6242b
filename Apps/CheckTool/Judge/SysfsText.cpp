// SPDX-License-Identifier: MIT
// Parses sysfs text and names the sensors.
#include "SysfsText.h"

#include <algorithm>
#include <set>
#include <utility>

namespace
{

bool IsAsciiAlnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

tint64 ParseSensorValue(const char* p, const char* pEnd)
{
    while (p < pEnd && (*p == ' ' || *p == '\t'))
    {
        ++p;
    }
    const bool bNegative = p < pEnd && *p == '-';
    p += bNegative ? 1 : 0;
    tint64 ll = 0;
    int nDigits = 0;
    for (; p < pEnd && *p >= '0' && *p <= '9'; ++p, ++nDigits)
    {
        if (nDigits == 18)
        {
            return kMissing;
        }
        ll = ll * 10 + (*p - '0');
    }
    while (p < pEnd && (*p == ' ' || *p == '\t'))
    {
        ++p;
    }
    if (nDigits == 0 || (p < pEnd && *p != '\n'))
    {
        return kMissing;
    }
    return bNegative ? -ll : ll;
}

tint64 ParseCoolingTime(const char* p, const char* pEnd)
{
    tint64 llAbove = 0;
    size_t nLines = 0;
    while (p < pEnd)
    {
        const char* pLine = std::find(p, pEnd, '\n');
        // "state" digits, a tab or blanks, digits.
        const char* q = p;
        if (pLine - q < 6 || std::string(q, 5) != "state")
        {
            return kMissing;
        }
        q += 5;
        const char* pTab = std::find_if(q, pLine, [](char c) { return c == '\t' || c == ' '; });
        const tint64 llState = ParseSensorValue(q, pTab);
        const tint64 llMs = ParseSensorValue(pTab, pLine);
        if (llState == kMissing || llMs == kMissing || llState < 0 || llMs < 0)
        {
            return kMissing;
        }
        llAbove += llState > 0 ? llMs : 0;
        ++nLines;
        p = pLine < pEnd ? pLine + 1 : pEnd;
    }
    return nLines > 0 ? llAbove * 1000 : kMissing;
}

size_t ParseTimeInState(const char* p, const char* pEnd, tint64* pllKHz, tint64* pusTime, size_t nMax)
{
    size_t n = 0;
    while (p < pEnd)
    {
        const char* pLine = std::find(p, pEnd, '\n');
        const char* pSpace = std::find(p, pLine, ' ');
        const tint64 llKHz = ParseSensorValue(p, pSpace);
        const tint64 llTime = ParseSensorValue(pSpace, pLine);
        if (n == nMax || llKHz == kMissing || llTime == kMissing || llKHz < 0 || llTime < 0)
        {
            return 0;
        }
        pllKHz[n] = llKHz;
        pusTime[n] = llTime * 10000;  // its unit is 10 ms, whatever the kernel's HZ
        ++n;
        p = pLine < pEnd ? pLine + 1 : pEnd;
    }
    return n;
}

std::vector<tint64> ParseClockList(const char* p, const char* pEnd)
{
    std::vector<tint64> vll;
    while (p < pEnd)
    {
        const char* pWord = std::find_if(p, pEnd, [](char c) { return c != ' ' && c != '\t' && c != '\n'; });
        const char* pAfter = std::find_if(pWord, pEnd, [](char c) { return c == ' ' || c == '\t' || c == '\n'; });
        if (pWord == pEnd)
        {
            break;
        }
        const tint64 ll = ParseSensorValue(pWord, pAfter);
        if (ll == kMissing || ll <= 0 || vll.size() == 64)
        {
            return std::vector<tint64>();
        }
        vll.push_back(ll);
        p = pAfter;
    }
    std::sort(vll.rbegin(), vll.rend());
    vll.erase(std::unique(vll.begin(), vll.end()), vll.end());
    return vll;
}

std::vector<SSensor> NameSensors(const std::vector<SRawSensor>& vRaw)
{
    std::vector<SSensor> vNamed;
    std::set<std::pair<int, std::string>> setTaken;
    for (const SRawSensor& raw : vRaw)
    {
        const bool bPlainPath = std::all_of(raw.strPath.begin(), raw.strPath.end(), [](char c) {
            return IsAsciiAlnum(c) || c == '.' || c == '_' || c == '/' || c == '-';
        });
        if (!bPlainPath)
        {
            continue;
        }
        // The sensor's own directory: a cooling device's statistics lie one below it.
        size_t nSlash = raw.strPath.rfind('/');
        if (raw.eKind == ESensorKind::Cooling && nSlash != std::string::npos)
        {
            nSlash = raw.strPath.rfind('/', nSlash - 1);
        }
        const std::string strParent = nSlash == std::string::npos ? "" : raw.strPath.substr(0, nSlash);
        const std::string strDir = strParent.substr(strParent.rfind('/') == std::string::npos ? 0 : strParent.rfind('/') + 1);
        // Each run of other characters becomes one '_'.
        std::string strName;
        bool bInRun = false;
        for (const char c : raw.strType)
        {
            const bool bKeep = IsAsciiAlnum(c) || c == '_' || c == '-';
            if (bKeep || !bInRun)
            {
                strName += bKeep ? c : '_';
            }
            bInRun = !bKeep;
        }
        if (raw.eKind != ESensorKind::Temp && !strName.empty() && strName[0] == '-')
        {
            strName = strDir + strName;  // a meter whose device has no name
        }
        if (std::none_of(strName.begin(), strName.end(), IsAsciiAlnum))
        {
            strName = strDir;
        }
        else if (raw.eKind == ESensorKind::Temp && strName.compare(0, 5, "fast-") == 0)
        {
            // temp-tau-fast-X is zone X's fast pole: a zone named fast-X keeps its directory before it.
            strName = strDir + "-" + strName;
        }
        else if (strName.size() > 40)
        {
            strName.resize(40);
        }
        const std::string strBase = strName;
        const std::string strNumber = strDir.substr(std::min(strDir.size(), strDir.find_first_not_of("abcdefghijklmnopqrstuvwxyz_")));
        const int nKind = static_cast<int>(raw.eKind);
        for (int k = 1; setTaken.count({nKind, strName}) != 0; ++k)
        {
            strName = strBase + "-" + strNumber + (k > 1 ? "-" + std::to_string(k) : "");
        }
        setTaken.insert({nKind, strName});
        vNamed.push_back(SSensor{raw.eKind, raw.strPath, strName, raw.bOfCPU, raw.vllPassiveTrips});
    }
    return vNamed;
}

tint64 ParseDtCell(const char* p, size_t cb)
{
    if (cb != 4)
    {
        return kMissing;
    }
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(p);
    return static_cast<tint64>((static_cast<tuint64>(pb[0]) << 24) | (static_cast<tuint64>(pb[1]) << 16) |
                               (static_cast<tuint64>(pb[2]) << 8) | pb[3]);
}

tint64 ParseOppDirKHz(const std::string& strName)
{
    const size_t nEnd = strName.find('-');
    const std::string strHz = strName.compare(0, 4, "opp:") == 0 ? strName.substr(4, nEnd == std::string::npos ? nEnd : nEnd - 4) : "";
    // The kernel's cpufreq table holds the OPP's rate in Hz divided by 1000.
    if (strHz.empty() || strHz.size() > 15 || strHz.find_first_not_of("0123456789") != std::string::npos)
    {
        return kMissing;
    }
    return std::stoll(strHz) / 1000;
}

namespace
{

// A CPU's number as the list format writes it: digits, no sign, no leading zero.
bool ParseCpuIndex(const std::string& str, int* pn)
{
    if (str.empty() || str.size() > 9 || (str.size() > 1 && str[0] == '0') || str.find_first_not_of("0123456789") != std::string::npos)
    {
        return false;
    }
    *pn = std::stoi(str);
    return true;
}

} // namespace

bool ParseCpuList(const std::string& strList, std::vector<int>* pvnCPUs, std::string* pstrWhy)
{
    pvnCPUs->clear();
    std::set<int> setSeen;
    for (size_t nStart = 0; nStart <= strList.size();)
    {
        const size_t nEnd = std::min(strList.find(',', nStart), strList.size());
        const std::string strPart = strList.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        const size_t nDash = strPart.find('-');
        int nFirst = 0;
        int nLast = 0;
        if (strPart.empty())
        {
            *pstrWhy = "an empty entry in '" + strList + "'";
            return false;
        }
        if (!ParseCpuIndex(strPart.substr(0, nDash), &nFirst) ||
            !ParseCpuIndex(nDash == std::string::npos ? strPart : strPart.substr(nDash + 1), &nLast))
        {
            *pstrWhy = "'" + strPart + "' is not a CPU (such as 2) or a range of them (such as 0-3)";
            return false;
        }
        if (nLast < nFirst)
        {
            *pstrWhy = "the range '" + strPart + "' runs down: its first CPU must come first";
            return false;
        }
        if (nLast > kMaxCpuIndex)
        {
            *pstrWhy = "CPU " + std::to_string(nLast) + " in '" + strPart + "': the check takes CPUs 0 to " + std::to_string(kMaxCpuIndex);
            return false;
        }
        for (int n = nFirst; n <= nLast; ++n)
        {
            if (!setSeen.insert(n).second)
            {
                *pstrWhy = "CPU " + std::to_string(n) + " is named twice in '" + strList + "'";
                return false;
            }
            pvnCPUs->push_back(n);
        }
    }
    return true;
}

std::string CpuListText(const std::vector<int>& vnCPUs)
{
    std::string str;
    for (size_t i = 0; i < vnCPUs.size();)
    {
        size_t j = i;
        while (j + 1 < vnCPUs.size() && vnCPUs[j + 1] == vnCPUs[j] + 1)
        {
            ++j;
        }
        str += (str.empty() ? "" : ",") + std::to_string(vnCPUs[i]) + (j > i ? "-" + std::to_string(vnCPUs[j]) : "");
        i = j + 1;
    }
    return str;
}
