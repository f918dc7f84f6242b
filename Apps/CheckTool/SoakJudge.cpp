// SPDX-License-Identifier: MIT
// Parameters, names, trace lines and verdicts of the soak check; no I/O here.
#include "SoakJudge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <utility>

namespace
{

const size_t kMaxSamples = 1000000;

bool IsAsciiAlnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

tint64 Pow10(int nDigits)
{
    tint64 ll = 1;
    while (nDigits-- > 0)
    {
        ll *= 10;
    }
    return ll;
}

// Plain digits as the tool prints a number back: no sign, no leading zero, at most 9 of them.
bool ParseWhole(const std::string& str, int* pn)
{
    if (str.empty() || str.size() > 9 || (str.size() > 1 && str[0] == '0') ||
        str.find_first_not_of("0123456789") != std::string::npos)
    {
        return false;
    }
    *pn = std::stoi(str);
    return true;
}

// Up to 9 characters of digits with at most one '.' and at most 3 decimals, the finest a
// sample holds, and a leading '-' where bSigned: in thousandths, exactly.
bool ParseDecimal(const std::string& strText, bool bSigned, tint64* pllMilli)
{
    std::string str = strText;
    const bool bNegative = bSigned && !str.empty() && str[0] == '-';
    if (bNegative)
    {
        str.erase(0, 1);
    }
    const size_t nDot = str.find('.');
    if (str.empty() || str.size() > 9 || str.find_first_not_of("0123456789.") != std::string::npos || nDot == 0 ||
        (nDot != std::string::npos && (nDot + 1 == str.size() || str.find('.', nDot + 1) != std::string::npos ||
                                       str.size() - nDot - 1 > 3)))
    {
        return false;
    }
    const std::string strInt = str.substr(0, nDot);
    std::string strFrac = nDot == std::string::npos ? "" : str.substr(nDot + 1);
    strFrac.resize(3, '0');
    const tint64 ll = std::stoll(strInt) * 1000 + std::stoll(strFrac);
    *pllMilli = bNegative ? -ll : ll;
    return true;
}

std::string Env(PFNGETENV pfnGetEnv, const char* pszName)
{
    const char* psz = pfnGetEnv(pszName);
    return psz == nullptr ? std::string() : std::string(psz);
}

// The samples' row with a value of sensor iSensor, or nothing: "read at G of N samples".
std::string ReadAt(size_t nGot, size_t nSamples)
{
    return nGot < nSamples ? "; read at " + std::to_string(nGot) + " of " + std::to_string(nSamples) + " samples" : "";
}

std::string Seconds(tint64 us)
{
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.2f s", static_cast<double>(us) / 1e6);
    return sz;
}

SCase Measured(const std::string& strName, const std::string& strFigure, const std::string& strUnits,
               const std::string& strRest)
{
    return SCase{strName, EResult::Pass, strFigure + " " + strUnits + strRest, strFigure, strUnits};
}

SCase Verdict(const std::string& strName, bool bPass, const std::string& strDetails)
{
    return SCase{strName, bPass ? EResult::Pass : EResult::Fail, strDetails, "", ""};
}

SCase Skipped(const std::string& strName, const std::string& strDetails)
{
    return SCase{strName, EResult::Skip, strDetails, "", ""};
}

// The per-sensor sums of one pass over the samples.
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
};

SSeries Summarise(const SSoakTrace& trace, size_t iSensor, bool bClock)
{
    SSeries s;
    for (size_t i = 0; i < trace.nSamples; ++i)
    {
        const tint64 ll = bClock ? trace.vllKHz[i] : trace.Value(i, iSensor);
        if (ll == kMissing)
        {
            continue;
        }
        if (s.nGot > 0 && ll < s.llLast && s.iBack == 0)
        {
            s.iBack = i;
            s.llBackFrom = s.llLast;
        }
        s.llFirst = s.nGot == 0 ? ll : s.llFirst;
        s.llHigh = s.nGot == 0 ? ll : std::max(s.llHigh, ll);
        s.llLow = s.nGot == 0 ? ll : std::min(s.llLow, ll);
        s.llLast = ll;
        s.ldSum += static_cast<long double>(ll);
        ++s.nGot;
    }
    return s;
}

std::string LimitText(const SLimit& lim, const char* pszUnits)
{
    return "; limit " + lim.strText + " " + pszUnits;
}

} // namespace

std::string CaseLine(const SCase& c)
{
    static const char* const kResults[] = {"pass", "fail", "skip"};
    return "hogspin-check: " + c.strName + ": " + kResults[static_cast<int>(c.eResult)] + " (" + c.strDetails + ")\n";
}

std::string ResultLine(const SCase& c)
{
    static const char* const kResults[] = {"pass", "fail", "skip"};
    std::string str = c.strName + " " + kResults[static_cast<int>(c.eResult)];
    if (!c.strMeasurement.empty())
    {
        str += " " + c.strMeasurement + " " + c.strUnits;
    }
    return str + "\n";
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
        const size_t nSlash = raw.strPath.rfind('/');
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
        vNamed.push_back(SSensor{raw.eKind, raw.strPath, strName});
    }
    return vNamed;
}

bool ParseParams(const std::vector<std::string>& vArgs, PFNGETENV pfnGetEnv, SCheckParams* pParams, std::string* pstrWhy)
{
    std::string strWhy;
    const auto bad = [&](const std::string& str) { strWhy += (strWhy.empty() ? "" : "; ") + str; };
    SCheckParams& p = *pParams;
    if (vArgs.size() < 3 || vArgs.size() > 4)
    {
        bad("usage: hogspin-check CPU THREADS SETTLE [HOGSPIN]");
    }
    const auto arg = [&](size_t i) { return i < vArgs.size() ? vArgs[i] : std::string(); };
    const auto whole = [&](const char* pszName, const std::string& str, int nLeast, int* pn) {
        if (!ParseWhole(str, pn))
        {
            bad(std::string(pszName) + " must be a whole number such as 2, not '" + str + "'");
        }
        else if (*pn < nLeast)
        {
            bad(std::string(pszName) + " must be at least " + std::to_string(nLeast) + ", not '" + str + "'");
        }
    };
    const auto decimal = [&](const char* pszName, const std::string& str, bool bSigned, tint64* pll) {
        const bool bGood = ParseDecimal(str, bSigned, pll);
        if (!bGood)
        {
            bad(std::string(pszName) + " must be a number such as 2 or 0.5, not '" + str + "'");
        }
        return bGood;
    };
    const auto positive = [&](const char* pszName, const std::string& str, tint64* pll) {
        if (decimal(pszName, str, false, pll) && *pll <= 0)
        {
            bad(std::string(pszName) + " must be above 0, not '" + str + "'");
        }
    };
    const auto limit = [&](const char* pszName, bool bSigned, int nDigits, SLimit* pLim) {
        pLim->strText = Env(pfnGetEnv, pszName);
        pLim->bSet = !pLim->strText.empty();
        tint64 llMilli = 0;
        if (pLim->bSet && decimal(pszName, pLim->strText, bSigned, &llMilli))
        {
            pLim->llValue = llMilli * Pow10(nDigits - 3);
        }
    };
    const auto defaulted = [&](const char* pszName, const char* pszDefault) {
        const std::string str = Env(pfnGetEnv, pszName);
        return str.empty() ? std::string(pszDefault) : str;
    };
    if (vArgs.size() >= 3)
    {
        whole("CPU", arg(0), 0, &p.nCPU);
        whole("THREADS", arg(1), 1, &p.nThreads);
        positive("SETTLE", arg(2), &p.msSettle);
    }
    p.strHogspin = arg(3).empty() ? "hogspin" : arg(3);
    positive("INTERVAL", defaulted("INTERVAL", "1"), &p.msInterval);
    positive("STOP_BOUND", defaulted("STOP_BOUND", "5"), &p.msStopBound);
    limit("MAX_TEMP", true, 3, &p.limMaxTemp);
    limit("MIN_FREQ", false, 3, &p.limMinFreq);
    limit("MAX_POWER", false, 6, &p.limMaxPower);
    p.strSysfs = defaulted("HOGSPIN_SYSFS", "/sys");
    if (strWhy.empty())
    {
        // A soak shorter than one interval still takes one.
        const tint64 llSamples = p.msSettle < p.msInterval ? 1 : (2 * p.msSettle + p.msInterval) / (2 * p.msInterval);
        if (llSamples > static_cast<tint64>(kMaxSamples))
        {
            bad("SETTLE / INTERVAL gives " + std::to_string(llSamples) + " samples, more than " + std::to_string(kMaxSamples));
        }
        p.nSamples = static_cast<size_t>(llSamples);
    }
    *pstrWhy = strWhy;
    return strWhy.empty();
}

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

std::string ShowFixed(tint64 llValue, int nDigits, int nPlaces)
{
    char sz[48];
    const tint64 llScale = Pow10(nDigits);
    // The magnitude as unsigned, so that the most negative value has one too.
    const tuint64 qwMagnitude = llValue < 0 ? 0 - static_cast<tuint64>(llValue) : static_cast<tuint64>(llValue);
    int n = std::snprintf(sz, sizeof(sz), "%s%llu", llValue < 0 ? "-" : "",
                          static_cast<unsigned long long>(qwMagnitude / static_cast<tuint64>(llScale)));
    if (nDigits > 0)
    {
        n += std::snprintf(sz + n, sizeof(sz) - static_cast<size_t>(n), ".%0*llu", nDigits,
                           static_cast<unsigned long long>(qwMagnitude % static_cast<tuint64>(llScale)));
        int nKept = nDigits;
        while (nKept > nPlaces && sz[n - 1] == '0')
        {
            --n;
            --nKept;
        }
        if (nKept == 0)
        {
            --n;  // the '.'
        }
    }
    return std::string(sz, static_cast<size_t>(n));
}

bool SSoakTrace::Reserve(size_t nRows, size_t nSensorsPerRow)
{
    nSensors = nSensorsPerRow;
    nSamples = 0;
    // Without exceptions a failed allocation would abort: ask for no more than can exist.
    if (nRows > kMaxSamples + 1 || nSensorsPerRow > 4096)
    {
        return false;
    }
    vllTimeUs.assign(nRows, 0);
    vllBusy.assign(nRows, kMissing);
    vllTotal.assign(nRows, kMissing);
    vllKHz.assign(nRows, kMissing);
    vllValues.assign(nRows * nSensorsPerRow, kMissing);
    return true;
}

std::string BoardLine(const std::string& strModel, const std::string& strKernel, const std::string& strHost,
                      const std::string& strBoard)
{
    const auto clean = [](std::string str) {
        for (char& c : str)
        {
            c = c == ',' || c < ' ' || c > '~' ? '_' : c;
        }
        return str;
    };
    return "hogspin-board,model=" + clean(strModel) + ",kernel=" + clean(strKernel) + ",host=" + clean(strHost) +
           ",board=" + clean(strBoard) + "\n";
}

std::string TraceHeader(const SSoakSetup& setup)
{
    const std::string strCPU = "cpu" + std::to_string(setup.nCPU);
    std::string str = "hogspin-trace,t_s," + strCPU + "_busy_pct," + strCPU + "_mhz";
    for (const SSensor& s : setup.vSensors)
    {
        if (s.eKind == ESensorKind::Temp)
        {
            str += "," + s.strName + "_c";
        }
        else if (s.eKind == ESensorKind::Power)
        {
            str += "," + s.strName + "_w";
        }
    }
    return str + "\n";
}

std::string LimitsLine(const SSoakSetup& setup)
{
    return "hogspin-limits,max_temp_c=" + setup.limMaxTemp.strText + ",min_freq_mhz=" + setup.limMinFreq.strText +
           ",max_power_w=" + setup.limMaxPower.strText + "\n";
}

size_t FormatTraceLine(const SSoakSetup& setup, const SSoakTrace& trace, size_t iSample, char* pBuf, size_t cb)
{
    size_t n = 0;
    bool bFits = true;
    // Appends without allocating: the soak writes one line a sample.
    const auto put = [&](const char* psz, size_t cch) {
        if (n + cch >= cb)
        {
            bFits = false;
            return;
        }
        std::copy(psz, psz + cch, pBuf + n);
        n += cch;
    };
    const auto fixed = [&](tint64 ll, int nDigits, int nPlaces) {
        put(",", 1);
        if (ll == kMissing)
        {
            return;
        }
        // As ShowFixed, without its string.
        char sz[48];
        const tuint64 qwScale = static_cast<tuint64>(Pow10(nDigits));
        const tuint64 qwMagnitude = ll < 0 ? 0 - static_cast<tuint64>(ll) : static_cast<tuint64>(ll);
        int cch = std::snprintf(sz, sizeof(sz), "%s%llu.%0*llu", ll < 0 ? "-" : "",
                                static_cast<unsigned long long>(qwMagnitude / qwScale), nDigits,
                                static_cast<unsigned long long>(qwMagnitude % qwScale));
        int nKept = nDigits;
        while (nKept > nPlaces && sz[cch - 1] == '0')
        {
            --cch;
            --nKept;
        }
        cch -= nKept == 0 ? 1 : 0;
        put(sz, static_cast<size_t>(cch));
    };
    const auto tenths = [&](tint64 ll) {  // ll in tenths, as "%.1f" would show it
        char sz[32];
        const tuint64 qw = ll < 0 ? 0 - static_cast<tuint64>(ll) : static_cast<tuint64>(ll);
        const int cch = std::snprintf(sz, sizeof(sz), "%s%llu.%llu", ll < 0 ? "-" : "",
                                      static_cast<unsigned long long>(qw / 10), static_cast<unsigned long long>(qw % 10));
        put(sz, static_cast<size_t>(cch));
    };
    put("hogspin-trace,", 14);
    const tint64 us = trace.vllTimeUs[iSample];
    tenths(us >= 0 ? (us + 50000) / 100000 : -((50000 - us) / 100000));
    put(",", 1);
    if (iSample > 0)
    {
        const tint64 llBusy = trace.vllBusy[iSample], llPrevBusy = trace.vllBusy[iSample - 1];
        const tint64 llTotal = trace.vllTotal[iSample], llPrevTotal = trace.vllTotal[iSample - 1];
        if (llBusy != kMissing && llPrevBusy != kMissing && llTotal != kMissing && llPrevTotal != kMissing &&
            llTotal > llPrevTotal)
        {
            const tint64 llSpent = llTotal - llPrevTotal;
            tenths((2000 * (llBusy - llPrevBusy) + llSpent) / (2 * llSpent));
        }
    }
    fixed(trace.vllKHz[iSample], 3, 0);
    for (size_t k = 0; k < setup.vSensors.size(); ++k)
    {
        const ESensorKind eKind = setup.vSensors[k].eKind;
        if (eKind != ESensorKind::Energy)
        {
            fixed(trace.Value(iSample, k), eKind == ESensorKind::Temp ? 3 : 6, 1);
        }
    }
    put("\n", 1);
    return bFits ? n : 0;
}

std::vector<SCase> JudgeSoak(const SSoakSetup& setup, const SSoakTrace& trace)
{
    std::vector<SCase> vCases;
    const std::string strCPU = std::to_string(setup.nCPU);
    const size_t nSamples = trace.nSamples;
    const tint64 usSoak = nSamples > 0 ? trace.vllTimeUs[nSamples - 1] - trace.vllTimeUs[0] : 0;
    const std::string strSoak = Seconds(usSoak);
    if (nSamples == 0)
    {
        vCases.push_back(Verdict("cpu-busy", false, "no sample of the soak was kept"));
    }
    else if (10 * usSoak < 9 * setup.usAsked)
    {
        vCases.push_back(Verdict("cpu-busy", false, "the soak lasted " + strSoak + " of the " +
                                                        ShowFixed(setup.usAsked / 1000, 3, 0) + " s asked"));
    }
    else if (trace.vllBusy[0] != kMissing && trace.vllBusy[nSamples - 1] != kMissing &&
             trace.vllTotal[nSamples - 1] > trace.vllTotal[0])
    {
        const tint64 llBusy = trace.vllBusy[nSamples - 1] - trace.vllBusy[0];
        const tint64 llSpent = trace.vllTotal[nSamples - 1] - trace.vllTotal[0];
        char sz[96];
        std::snprintf(sz, sizeof(sz), "CPU %s %.1f %% busy over %s", strCPU.c_str(),
                      100.0 * static_cast<double>(llBusy) / static_cast<double>(llSpent), strSoak.c_str());
        vCases.push_back(Verdict("cpu-busy", 100 * llBusy >= 98 * llSpent, sz));
    }
    else
    {
        vCases.push_back(Verdict("cpu-busy", false, "CPU " + strCPU + " has no /proc/stat line, or no time passed in " + strSoak));
    }

    bool abSeen[3] = {false, false, false};
    bool abMeasured[3] = {false, false, false};
    for (size_t k = 0; k < setup.vSensors.size(); ++k)
    {
        const SSensor& sensor = setup.vSensors[k];
        const int nKind = static_cast<int>(sensor.eKind);
        abSeen[nKind] = true;
        const SSeries s = Summarise(trace, k, false);
        const std::string strAt = ReadAt(s.nGot, nSamples);
        if (sensor.eKind == ESensorKind::Energy)
        {
            if (s.nGot < 2)
            {
                vCases.push_back(Skipped("energy-" + sensor.strName, sensor.strPath + " could not be read at two of " +
                                                                         std::to_string(nSamples) + " samples"));
            }
            else if (s.iBack != 0)
            {
                // A wrap or a reset: what it counted before it is lost.
                vCases.push_back(Skipped("energy-" + sensor.strName,
                                         "the counter went back " + Seconds(trace.vllTimeUs[s.iBack]) + " into the soak, from " +
                                             std::to_string(s.llBackFrom) + " to " +
                                             std::to_string(trace.Value(s.iBack, k)) + " uJ"));
            }
            else
            {
                vCases.push_back(Measured("energy-" + sensor.strName, ShowFixed(s.llLast - s.llFirst, 6, 1), "J",
                                          " over " + strSoak + strAt));
            }
            continue;
        }
        const bool bTemp = sensor.eKind == ESensorKind::Temp;
        const std::string strKind = bTemp ? "temp" : "power";
        if (s.nGot == 0)
        {
            vCases.push_back(Skipped(strKind + "-max-" + sensor.strName, sensor.strPath + " could not be read at any of " +
                                                                             std::to_string(nSamples) + " samples"));
            continue;
        }
        abMeasured[nKind] = true;
        const int nDigits = bTemp ? 3 : 6;
        const char* pszUnits = bTemp ? "C" : "W";
        const SLimit& lim = bTemp ? setup.limMaxTemp : setup.limMaxPower;
        const std::string strHigh = ShowFixed(s.llHigh, nDigits, 1);
        if (!bTemp)
        {
            const tint64 llMean = static_cast<tint64>(std::llround(s.ldSum / static_cast<long double>(s.nGot)));
            vCases.push_back(Measured("power-mean-" + sensor.strName, ShowFixed(llMean, 6, 1), "W",
                                      ", the mean of " + std::to_string(s.nGot) + " samples"));
        }
        vCases.push_back(Measured(strKind + "-max-" + sensor.strName, strHigh, pszUnits, ", the highest of the soak" + strAt));
        if (bTemp)
        {
            vCases.push_back(Measured("temp-rise-" + sensor.strName, ShowFixed(s.llHigh - s.llFirst, 3, 1), "C",
                                      " above its first reading"));
        }
        // The verdict apart from the figure: a dashboard that keeps a measured case as a
        // metric alone still shows this one's pass or fail.
        if (lim.bSet)
        {
            vCases.push_back(Verdict("limit-" + strKind + "-" + sensor.strName, s.llHigh <= lim.llValue,
                                     strHigh + " " + pszUnits + ", the highest of the soak" + strAt + LimitText(lim, pszUnits)));
        }
    }
    // A kind with nothing measured: one case saying so, and a failed limit if one was asked.
    const struct
    {
        ESensorKind eKind;
        const char* pszKind;
        const char* pszParam;
        const SLimit& lim;
        const char* pszNone;
        const char* pszUnread;
    } aKinds[] = {
        {ESensorKind::Temp, "temp", "MAX_TEMP", setup.limMaxTemp, "no thermal zone under class/thermal",
         "no thermal zone could be read"},
        {ESensorKind::Power, "power", "MAX_POWER", setup.limMaxPower, "no power meter under class/hwmon",
         "no power meter could be read"},
    };
    for (const auto& kind : aKinds)
    {
        const int nKind = static_cast<int>(kind.eKind);
        if (abMeasured[nKind])
        {
            continue;
        }
        const std::string strWhy = abSeen[nKind] ? kind.pszUnread : kind.pszNone;
        vCases.push_back(Skipped(std::string(kind.pszKind) + "-max", strWhy));
        if (kind.lim.bSet)
        {
            vCases.push_back(Verdict(std::string("limit-") + kind.pszKind, false,
                                     std::string(kind.pszParam) + "=" + kind.lim.strText + " asked, but " + strWhy));
        }
    }
    const SSeries clock = Summarise(trace, 0, true);
    const std::string strFreq = "freq-min-cpu" + strCPU;
    if (clock.nGot > 0)
    {
        const std::string strLow = ShowFixed(clock.llLow, 3, 0);
        vCases.push_back(Measured(strFreq, strLow, "MHz", ", the lowest of the soak" + ReadAt(clock.nGot, nSamples)));
        if (setup.limMinFreq.bSet)
        {
            vCases.push_back(Verdict("limit-freq-cpu" + strCPU, clock.llLow >= setup.limMinFreq.llValue,
                                     strLow + " MHz, the lowest of the soak" + LimitText(setup.limMinFreq, "MHz")));
        }
    }
    else
    {
        const std::string strWhy = "devices/system/cpu/cpu" + strCPU + "/cpufreq/scaling_cur_freq cannot be read";
        vCases.push_back(Skipped(strFreq, strWhy));
        if (setup.limMinFreq.bSet)
        {
            vCases.push_back(Verdict("limit-freq-cpu" + strCPU, false, "MIN_FREQ=" + setup.limMinFreq.strText + " asked, but " + strWhy));
        }
    }
    return vCases;
}

SCase JudgeSummary(const std::string& strSummary, int nCPU, int nThreads, const std::string& strOnline)
{
    const bool bPass = strSummary == "hogspin " + std::to_string(nCPU) + ", count=" + std::to_string(nThreads) + ", ret=1";
    return Verdict("summary-ret", bPass, (strSummary.empty() ? std::string("no summary line") : strSummary) +
                                             (bPass ? "" : "; CPUs online: " + strOnline));
}

SCase JudgePinned(const std::vector<SWorker>& vWorkers, int nCPU, int nThreads)
{
    const std::string strCPU = std::to_string(nCPU);
    const size_t nPinned = static_cast<size_t>(std::count_if(vWorkers.begin(), vWorkers.end(), [&](const SWorker& w) {
        return w.strAllowed == strCPU && w.strLastCPU == strCPU;
    }));
    const size_t nAsked = static_cast<size_t>(nThreads);
    return Verdict("workers-pinned", vWorkers.size() == nAsked && nPinned == nAsked,
                   std::to_string(nPinned) + " of " + std::to_string(vWorkers.size()) + " workers, " +
                       std::to_string(nThreads) + " asked, on CPU " + strCPU);
}

SCase JudgeStop(const SStop& stop, int nCPU)
{
    std::string strDetail;
    if (stop.bKilled)
    {
        strDetail = "still running " + stop.strBound + " s after SIGINT: killed";
    }
    else if (!stop.bSignalled)
    {
        strDetail = "it had ended before SIGINT, with status " + std::to_string(stop.iStatus);
    }
    else
    {
        strDetail = "status " + std::to_string(stop.iStatus);
    }
    const bool bPass = stop.bSignalled && !stop.bKilled && stop.iStatus == 0 &&
                       stop.strLastLine == "hogspin " + std::to_string(nCPU) + ", Exit!";
    return Verdict("stop-sigint", bPass, strDetail + ", last line: " + stop.strLastLine);
}
