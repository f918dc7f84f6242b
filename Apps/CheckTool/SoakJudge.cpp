// SPDX-License-Identifier: MIT
// Parameters, names, trace lines and verdicts of the soak check; no I/O here.
#include "SoakJudge.h"

#include "StepFit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <utility>

namespace
{

const size_t kMaxSamples = 1000000;
const size_t kMaxTraceBytes = 256U << 20;

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

// A limit holds only where every sample was read: a sensor that fails when hot must not pass.
std::string Unjudged(const std::string& strAt)
{
    return strAt.empty() ? "" : ": the samples not read cannot be judged";
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

// Why digits that read as a number are still refused, for the message; empty for the rest.
static std::string NumberHint(const std::string& str, bool bWhole)
{
    const size_t nDot = str.find('.');
    if (str.empty() || str.find_first_not_of(bWhole ? "0123456789" : "0123456789.-") != std::string::npos)
    {
        return "";
    }
    if (str.size() > 9)
    {
        return bWhole ? " (at most 9 digits)" : " (at most 9 characters)";
    }
    if (bWhole && str.size() > 1 && str[0] == '0')
    {
        return " (no leading zero)";
    }
    if (!bWhole && nDot != std::string::npos && str.find('.', nDot + 1) == std::string::npos && str.size() - nDot - 1 > 3)
    {
        return " (at most 3 decimals)";
    }
    return "";
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
            bad(std::string(pszName) + " must be a whole number such as 2, not '" + str + "'" + NumberHint(str, true));
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
            bad(std::string(pszName) + " must be a number such as 2 or 0.5, not '" + str + "'" + NumberHint(str, false));
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
    decimal("BASELINE", defaulted("BASELINE", "0"), false, &p.msBaseline);
    p.strPowerMeter = Env(pfnGetEnv, "POWER_METER");
    const std::string strSteady = Env(pfnGetEnv, "UNTIL_STEADY");
    if (strSteady != "" && strSteady != "0" && strSteady != "1")
    {
        bad("UNTIL_STEADY must be 0 or 1, not '" + strSteady + "'");
    }
    p.bUntilSteady = strSteady == "1";
    if (strWhy.empty())
    {
        // A soak shorter than one interval still takes one.
        const tint64 llSamples = p.msSettle < p.msInterval ? 1 : (2 * p.msSettle + p.msInterval) / (2 * p.msInterval);
        if (llSamples > static_cast<tint64>(kMaxSamples))
        {
            bad("SETTLE / INTERVAL gives " + std::to_string(llSamples) + " samples, more than " + std::to_string(kMaxSamples));
        }
        p.nSamples = static_cast<size_t>(llSamples);
        // The baseline's samples, at the same INTERVAL, before the tool starts.
        const tint64 llBaseline = p.msBaseline == 0 ? 0 : std::max<tint64>(1, (2 * p.msBaseline + p.msInterval) / (2 * p.msInterval));
        if (llSamples <= static_cast<tint64>(kMaxSamples) && llBaseline + llSamples > static_cast<tint64>(kMaxSamples))
        {
            bad("BASELINE / INTERVAL gives " + std::to_string(llBaseline) + " samples, more than the soak's " +
                std::to_string(kMaxSamples - static_cast<size_t>(llSamples)) + " leave");
        }
        p.nBaseline = static_cast<size_t>(llBaseline);
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
    return nLines > 0 ? llAbove : kMissing;
}

size_t ParseTimeInState(const char* p, const char* pEnd, tint64* pllKHz, tint64* pllTime, size_t nMax)
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
        pllTime[n] = llTime;
        ++n;
        p = pLine < pEnd ? pLine + 1 : pEnd;
    }
    return n;
}

namespace
{

// ShowFixed into sz, without a string: the soak writes one trace line a sample. Its length.
int FormatFixed(char* sz, size_t cb, tint64 llValue, int nDigits, int nPlaces)
{
    const tuint64 qwScale = static_cast<tuint64>(Pow10(nDigits));
    // The magnitude as unsigned, so that the most negative value has one too.
    const tuint64 qwMagnitude = llValue < 0 ? 0 - static_cast<tuint64>(llValue) : static_cast<tuint64>(llValue);
    int n = nDigits == 0 ? std::snprintf(sz, cb, "%s%llu", llValue < 0 ? "-" : "", static_cast<unsigned long long>(qwMagnitude))
                         : std::snprintf(sz, cb, "%s%llu.%0*llu", llValue < 0 ? "-" : "",
                                         static_cast<unsigned long long>(qwMagnitude / qwScale), nDigits,
                                         static_cast<unsigned long long>(qwMagnitude % qwScale));
    if (n < 0 || static_cast<size_t>(n) >= cb)
    {
        return 0;
    }
    int nKept = nDigits;
    while (nKept > nPlaces && sz[n - 1] == '0')
    {
        --n;
        --nKept;
    }
    return nKept == 0 && nDigits > 0 ? n - 1 : n;  // no '.' without a decimal
}

} // namespace

std::string ShowFixed(tint64 llValue, int nDigits, int nPlaces)
{
    char sz[48];
    return std::string(sz, static_cast<size_t>(FormatFixed(sz, sizeof(sz), llValue, nDigits, nPlaces)));
}

bool SSoakTrace::Reserve(size_t nRows, size_t nSensorsPerRow, size_t nStatesPerRow)
{
    nSensors = nSensorsPerRow;
    nStates = nStatesPerRow;
    nSamples = 0;
    // Without exceptions a failed allocation would abort: ask for no more than can exist, and
    // no more than a small board's memory holds.
    if (nRows > kMaxSamples + 1 || nSensorsPerRow > 4096 || nStatesPerRow > 64 ||
        nRows * (4 + nSensorsPerRow + nStatesPerRow) > kMaxTraceBytes / sizeof(tint64))
    {
        return false;
    }
    vllTimeUs.assign(nRows, 0);
    vllBusy.assign(nRows, kMissing);
    vllTotal.assign(nRows, kMissing);
    vllKHz.assign(nRows, kMissing);
    vllValues.assign(nRows * nSensorsPerRow, kMissing);
    vllStateKHz.assign(nStatesPerRow, 0);
    vllStateTime.assign(nRows * nStatesPerRow, kMissing);
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
        char sz[48];
        if (ll != kMissing)
        {
            put(sz, static_cast<size_t>(FormatFixed(sz, sizeof(sz), ll, nDigits, nPlaces)));
        }
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
        if (eKind == ESensorKind::Temp || eKind == ESensorKind::Power)
        {
            fixed(trace.Value(iSample, k), eKind == ESensorKind::Temp ? 3 : 6, 1);
        }
    }
    put("\n", 1);
    return bFits ? n : 0;
}

namespace
{

// Rows [iFirst, iEnd) of the trace: the baseline's, or the soak's.
struct SRows
{
    size_t iFirst;
    size_t iEnd;
    size_t Count() const { return iEnd - iFirst; }
};

SRows BaselineRows(const SSoakTrace& trace)
{
    return SRows{0, std::min(trace.nBaseline, trace.nSamples)};
}

SRows SoakRows(const SSoakTrace& trace)
{
    return SRows{std::min(trace.nBaseline, trace.nSamples), trace.nSamples};
}

SSeries SummariseRows(const SSoakTrace& trace, size_t iSensor, bool bClock, SRows rows)
{
    SSeries s;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
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

tint64 Mean(const SSeries& s)
{
    return static_cast<tint64>(std::llround(s.ldSum / static_cast<long double>(s.nGot)));
}

// d with nDecimals decimals.
std::string Printed(int nDecimals, double d)
{
    char sz[64];
    std::snprintf(sz, sizeof(sz), "%.*f", nDecimals, d);
    return sz;
}

// Three figures or so: 0.85, 12.3, 123.
std::string ShowSeconds(double d)
{
    return Printed(d >= 100 ? 0 : d >= 10 ? 1 : 2, d);
}

double BendStart(const SSoakSetup& setup, const SSoakTrace& trace, std::string* pstrWhat);

// The means of every nWidth readings in a row: one odd reading, or a noisy sensor, moves them
// little.
std::vector<double> Smoothed(const std::vector<double>& vd, size_t nWidth)
{
    std::vector<double> vdOut;
    double dSum = 0;
    for (size_t i = 0; i < vd.size(); ++i)
    {
        dSum += vd[i] - (i >= nWidth ? vd[i - nWidth] : 0);
        if (i + 1 >= nWidth)
        {
            vdOut.push_back(dSum / static_cast<double>(nWidth));
        }
    }
    return vdOut;
}

// The readings' noise, from how far each lies from the next: a robust standard deviation.
double Noise(const std::vector<double>& vd)
{
    std::vector<double> vdGaps;
    for (size_t i = 1; i < vd.size(); ++i)
    {
        vdGaps.push_back(std::fabs(vd[i] - vd[i - 1]));
    }
    if (vdGaps.empty())
    {
        return 0;
    }
    std::nth_element(vdGaps.begin(), vdGaps.begin() + static_cast<std::ptrdiff_t>(vdGaps.size() / 2), vdGaps.end());
    return 1.4826 * vdGaps[vdGaps.size() / 2] / std::sqrt(2.0);
}

// The least-squares slope of the points from dFrom on, and its standard error.
struct SSlope
{
    bool bKnown = false;
    double dSlope = 0;
    double dError = 0;
    double dMidT = 0;
};

SSlope SlopeFrom(const std::vector<double>& vdT, const std::vector<double>& vdY, double dFrom)
{
    SSlope slope;
    double dT = 0, dY = 0, n = 0;
    for (size_t i = 0; i < vdT.size(); ++i)
    {
        if (vdT[i] >= dFrom)
        {
            dT += vdT[i];
            dY += vdY[i];
            ++n;
        }
    }
    if (n < 4)
    {
        return slope;
    }
    dT /= n;
    dY /= n;
    double dTT = 0, dTY = 0;
    for (size_t i = 0; i < vdT.size(); ++i)
    {
        if (vdT[i] >= dFrom)
        {
            dTT += (vdT[i] - dT) * (vdT[i] - dT);
            dTY += (vdT[i] - dT) * (vdY[i] - dY);
        }
    }
    if (!(dTT > 0))
    {
        return slope;
    }
    slope.dSlope = dTY / dTT;
    double dSse = 0;
    for (size_t i = 0; i < vdT.size(); ++i)
    {
        if (vdT[i] >= dFrom)
        {
            const double r = vdY[i] - dY - slope.dSlope * (vdT[i] - dT);
            dSse += r * r;
        }
    }
    slope.dError = std::sqrt(dSse / (n - 2) / dTT);
    slope.dMidT = dT;
    slope.bKnown = true;
    return slope;
}

// What a first-order fit says of a zone, or why it says nothing.
struct SZoneFit
{
    bool bFitted = false;
    std::string strWhy;
    SStepFit fit;
    size_t nPoints = 0;
    double dSpan = 0;  // s from the load's start to the last reading fitted
    double dLast = 0;  // the last reading fitted, C
    std::string strBent;  // what bent the rise, where something did: the fit stops there
    double dBend = HUGE_VAL;
};

SZoneFit FitZone(const SSoakSetup& setup, const SSoakTrace& trace, size_t k, tint64 llRiseFrom)
{
    SZoneFit z;
    // Throttling or a fan bends the rise: what a first-order response describes is the step
    // of load before it, and where that would have settled.
    const double dBend = z.dBend = BendStart(setup, trace, &z.strBent);
    SRows rows = SoakRows(trace);
    while (rows.iEnd > rows.iFirst && static_cast<double>(trace.vllTimeUs[rows.iEnd - 1]) / 1e6 >= dBend)
    {
        --rows.iEnd;
    }
    const std::string strBefore = z.strBent.empty() ? "" : "before " + z.strBent + ", ";
    std::vector<double> vdT, vdY;
    // At most 2000 points: the fit's cost stays bounded on the longest soak.
    const size_t nStride = std::max<size_t>(1, rows.Count() / 2000);
    std::vector<tint64> vllSeen;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        const tint64 ll = trace.Value(i, k);
        if (ll == kMissing)
        {
            continue;
        }
        vllSeen.push_back(ll);
        const double dT = static_cast<double>(trace.vllTimeUs[i]) / 1e6;
        if ((i - rows.iFirst) % nStride == 0 || i + 1 == rows.iEnd)
        {
            vdT.push_back(dT);
            vdY.push_back(static_cast<double>(ll) / 1000);
        }
    }
    z.nPoints = vdT.size();
    if (vdT.size() < 4)
    {
        z.strWhy = strBefore + "too few samples to fit: " + std::to_string(vdT.size());
        return z;
    }
    z.dSpan = vdT.back();
    z.dLast = vdY.back();
    const double dFrom = static_cast<double>(llRiseFrom) / 1000;
    // The sensor's own step: readings that move in whole degrees cannot fit closer than that.
    std::sort(vllSeen.begin(), vllSeen.end());
    tint64 llStep = 0;
    for (size_t i = 1; i < vllSeen.size(); ++i)
    {
        const tint64 llGap = vllSeen[i] - vllSeen[i - 1];
        llStep = llGap > 0 && (llStep == 0 || llGap < llStep) ? llGap : llStep;
    }
    const double dStep = static_cast<double>(llStep) / 1000;
    // Judged on the smoothed readings, and against their own noise: one glitch, or a noisy
    // sensor, is not a bend.
    const size_t nWidth = std::min(std::max<size_t>(5, vdY.size() / 20), vdY.size() / 3);
    const std::vector<double> vdSmooth = Smoothed(vdY, nWidth);
    const double dNoise = Noise(vdY) / std::sqrt(static_cast<double>(nWidth));
    const size_t iHigh = static_cast<size_t>(std::max_element(vdSmooth.begin(), vdSmooth.end()) - vdSmooth.begin());
    const double dSmoothHigh = vdSmooth[iHigh];
    const double dSmoothLast = vdSmooth.back();
    const double dRise = dSmoothHigh - dFrom;
    if (dSmoothLast < vdSmooth.front() - std::max({0.5, dStep, 3 * dNoise}))
    {
        z.strWhy = strBefore + "it fell, from " + Printed(2, vdSmooth.front()) + " C to " + Printed(2, dSmoothLast) +
                   " C: no first-order rise describes that";
        return z;
    }
    if (dRise < 1)
    {
        z.strWhy = strBefore + "it rose only " + Printed(2, dRise) + " C: too little to fit";
        return z;
    }
    if (dSmoothHigh - dSmoothLast > std::max({0.5, 0.1 * dRise, 2 * dStep, 3 * dNoise}))
    {
        z.strWhy = strBefore + "it fell " + Printed(2, dSmoothHigh - dSmoothLast) + " C after its highest, at " +
                   Printed(1, vdT[iHigh + nWidth / 2]) + " s: something bent it (throttling?), and no first-order rise describes that";
        return z;
    }
    const double dInterval = static_cast<double>(setup.usInterval) / 1e6;
    z.fit = FitStep(vdT.data(), vdY.data(), vdT.size(), dInterval / 4, std::max(20 * z.dSpan, dInterval));
    if (!z.fit.bFitted || z.fit.dStart > z.fit.dSteady)
    {
        z.strWhy = strBefore + "no first-order rise fits it";
        return z;
    }
    if (z.fit.dRms > std::max({0.05 * dRise, 0.5 * dStep, 2 * Noise(vdY), 0.05}))
    {
        z.strWhy = strBefore + "a first-order fit leaves " + Printed(2, z.fit.dRms) + " C RMS over a rise of " + Printed(2, dRise) +
                   " C: something bent it (throttling?), and no first-order rise describes that";
        return z;
    }
    if (z.fit.dTau < dInterval / 2)
    {
        z.strWhy = strBefore + "it rose within a sample or two: its time constant is shorter than INTERVAL (" +
                   ShowSeconds(dInterval) + " s) can tell";
        return z;
    }
    if (z.fit.bAtLongest || z.dSpan < z.fit.dTau)
    {
        z.strWhy = strBefore + "the rise (" + ShowSeconds(z.dSpan) + " s) is shorter than its time constant (" +
                   (z.fit.bAtLongest ? "over " : "about ") + ShowSeconds(z.fit.dTau) +
                   " s): where it settles cannot be told; soak longer";
        return z;
    }
    // A fast part on a slow one (a die on its board, a heatsink) fits one time constant closely
    // and looks settled while the slow part rises on: the last third must still follow the curve.
    const SSlope slope = SlopeFrom(vdT, vdY, z.dSpan * 2 / 3);
    const double dCurve = (z.fit.dSteady - z.fit.dStart) / z.fit.dTau * std::exp(-slope.dMidT / z.fit.dTau);
    if (slope.bKnown && std::fabs(slope.dSlope - dCurve) > 3 * slope.dError &&
        std::fabs(slope.dSlope - dCurve) * z.dSpan > std::max({0.5, 0.05 * dRise, 2 * dStep}))
    {
        z.strWhy = strBefore + "its last third " + (slope.dSlope > dCurve ? "still rose " : "fell ") +
                   Printed(2, std::fabs(slope.dSlope - dCurve) * 60) + " C a minute " +
                   (slope.dSlope > dCurve ? "faster" : "slower") +
                   " than one time constant allows: a second, slower part goes on (the board, a heatsink?); soak longer";
        return z;
    }
    z.bFitted = true;
    return z;
}

// A zone's reference for its rise and its thermal resistance: the baseline's mean where the
// baseline read it, else its first reading in the soak.
struct SFrom
{
    bool bBaseline;
    tint64 llValue;
};

SFrom RiseFrom(const SSoakTrace& trace, size_t k, const SSeries& soak)
{
    const SSeries base = SummariseRows(trace, k, false, BaselineRows(trace));
    return base.nGot > 0 ? SFrom{true, Mean(base)} : SFrom{false, soak.llFirst};
}

std::string Settled(const SZoneFit& z)
{
    const double dLasted = z.dSpan / z.fit.dTau;
    if (!z.strBent.empty())
    {
        return "the rise lasted " + Printed(1, dLasted) + " τ before " + z.strBent +
               (dLasted >= 3 ? ": it had settled" : ": T∞, where it would have settled, is a projection");
    }
    return dLasted >= 3 ? "the soak lasted " + Printed(1, dLasted) + " τ: it settled"
                        : "the soak lasted " + Printed(1, dLasted) + " τ, under 3: T∞ is a projection";
}

// The least difference of means a meter resolves: the smallest step between its readings at
// rest (1 µW, its unit, where it read one value), and twice the difference's standard error,
// so that noise, or one odd reading, is never taken for what the load added.
tint64 Resolution(const SSoakTrace& trace, size_t k)
{
    tint64 llStep = 0;
    long double aldMean[2] = {0, 0}, aldVar[2] = {0, 0};
    size_t anGot[2] = {0, 0};
    int nPhase = 0;
    for (const SRows rows : {BaselineRows(trace), SoakRows(trace)})
    {
        std::vector<tint64> vll;
        for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
        {
            if (trace.Value(i, k) != kMissing)
            {
                vll.push_back(trace.Value(i, k));
                aldMean[nPhase] += static_cast<long double>(trace.Value(i, k));
            }
        }
        anGot[nPhase] = vll.size();
        aldMean[nPhase] /= vll.empty() ? 1 : static_cast<long double>(vll.size());
        for (const tint64 ll : vll)
        {
            aldVar[nPhase] += (static_cast<long double>(ll) - aldMean[nPhase]) * (static_cast<long double>(ll) - aldMean[nPhase]);
        }
        aldVar[nPhase] /= vll.size() > 1 ? static_cast<long double>(vll.size() - 1) : 1;
        std::sort(vll.begin(), vll.end());
        for (size_t i = 1; i < vll.size() && nPhase == 0; ++i)
        {
            const tint64 llGap = vll[i] - vll[i - 1];
            llStep = llGap > 0 && (llStep == 0 || llGap < llStep) ? llGap : llStep;
        }
        ++nPhase;
    }
    const long double ldError = anGot[0] > 0 && anGot[1] > 0
                                    ? std::sqrt(aldVar[0] / static_cast<long double>(anGot[0]) +
                                                aldVar[1] / static_cast<long double>(anGot[1]))
                                    : 0;
    return std::max<tint64>({1, llStep, static_cast<tint64>(std::ceil(2 * ldError))});
}

// CPU K's busy share over the baseline; 0 where it cannot be told.
double BaselineBusy(const SSoakTrace& trace)
{
    const SRows rows = BaselineRows(trace);
    if (rows.Count() < 2 || trace.vllBusy[rows.iFirst] == kMissing || trace.vllBusy[rows.iEnd - 1] == kMissing ||
        trace.vllTotal[rows.iEnd - 1] <= trace.vllTotal[rows.iFirst])
    {
        return 0;
    }
    return static_cast<double>(trace.vllBusy[rows.iEnd - 1] - trace.vllBusy[rows.iFirst]) /
           static_cast<double>(trace.vllTotal[rows.iEnd - 1] - trace.vllTotal[rows.iFirst]);
}

std::string RestNote(const SSoakSetup& setup, const SSoakTrace& trace)
{
    return BaselineRows(trace).Count() < 2 ? ""
                                           : ", CPU " + std::to_string(setup.nCPU) + " " + Printed(1, 100 * BaselineBusy(trace)) +
                                                 " % busy in it";
}

// Said where the baseline was busy enough to raise the idle figures a little; past half busy
// they are no idle figures at all.
std::string BusyRestNote(const SSoakSetup& setup, const SSoakTrace& trace)
{
    return BaselineBusy(trace) > 0.1 ? "; the baseline was not quite at rest" + RestNote(setup, trace) : "";
}

// The meter thermal resistance divides by: POWER_METER's, or the only one. -1 and why when none.
int ChosenMeter(const SSoakSetup& setup, std::string* pstrWhy)
{
    std::vector<int> vMeters;
    std::string strNames;
    for (size_t k = 0; k < setup.vSensors.size(); ++k)
    {
        const SSensor& s = setup.vSensors[k];
        if (s.eKind == ESensorKind::Power)
        {
            if (!setup.strPowerMeter.empty() && s.strName == setup.strPowerMeter)
            {
                return static_cast<int>(k);
            }
            vMeters.push_back(static_cast<int>(k));
            strNames += (strNames.empty() ? "" : ", ") + s.strName;
        }
    }
    if (!setup.strPowerMeter.empty())
    {
        *pstrWhy = "POWER_METER=" + setup.strPowerMeter + " names no power meter of this board";
    }
    else if (vMeters.empty())
    {
        *pstrWhy = "no power meter to divide by";
    }
    else if (vMeters.size() > 1)
    {
        *pstrWhy = "several power meters (" + strNames + "): POWER_METER names which";
    }
    else
    {
        return vMeters[0];
    }
    return -1;
}

void JudgeZone(const SSoakSetup& setup, const SSoakTrace& trace, size_t k, const SSeries& s, std::vector<SCase>& vCases)
{
    const SSensor& sensor = setup.vSensors[k];
    const SRows rows = SoakRows(trace);
    const std::string strHigh = ShowFixed(s.llHigh, 3, 1);
    const std::string strAt = ReadAt(s.nGot, rows.Count());
    vCases.push_back(Measured("temp-max-" + sensor.strName, strHigh, "C", ", the highest of the soak" + strAt));
    const SFrom from = RiseFrom(trace, k, s);
    vCases.push_back(Measured("temp-rise-" + sensor.strName, ShowFixed(s.llHigh - from.llValue, 3, 1), "C",
                              from.bBaseline ? " above its baseline mean of " + ShowFixed(from.llValue, 3, 1) + " C"
                                             : " above its first reading"));
    const SZoneFit z = FitZone(setup, trace, k, from.llValue);
    if (z.bFitted)
    {
        const std::string strHow = ", a first-order fit to " + std::to_string(z.nPoints) + " samples (RMS residual " +
                                   Printed(3, z.fit.dRms) + " C, R² " + Printed(4, z.fit.dR2) + "); " + Settled(z);
        vCases.push_back(Measured("temp-tau-" + sensor.strName, ShowSeconds(z.fit.dTau), "s", strHow));
        vCases.push_back(Measured("temp-steady-" + sensor.strName, Printed(2, z.fit.dSteady), "C",
                                  ", where the fit has it settle" + std::string(z.strBent.empty() ? "" : " had nothing bent it") +
                                      ", from " + Printed(2, z.fit.dStart) + " C at the start; " + Settled(z)));
    }
    else
    {
        vCases.push_back(Skipped("temp-tau-" + sensor.strName, z.strWhy));
        vCases.push_back(Skipped("temp-steady-" + sensor.strName, z.strWhy));
    }
    // Kelvin per watt of the load: the steady rise over what the load added at the meter.
    std::string strWhy;
    const int iMeter = ChosenMeter(setup, &strWhy);
    const std::string strResistance = "thermal-resistance-" + sensor.strName;
    if (trace.nBaseline == 0)
    {
        vCases.push_back(Skipped(strResistance, "needs a BASELINE: the idle temperature and power"));
    }
    else if (BaselineBusy(trace) > 0.5)
    {
        vCases.push_back(Skipped(strResistance, "the baseline was not at rest" + RestNote(setup, trace) +
                                                    ": its temperature and power are not the idle ones"));
    }
    else if (iMeter < 0)
    {
        vCases.push_back(Skipped(strResistance, strWhy));
    }
    else if (!z.bFitted)
    {
        vCases.push_back(Skipped(strResistance, "no steady state: " + z.strWhy));
    }
    else if (!from.bBaseline)
    {
        vCases.push_back(Skipped(strResistance, "the zone was not read in the baseline"));
    }
    else
    {
        const size_t iM = static_cast<size_t>(iMeter);
        const std::string& strMeter = setup.vSensors[iM].strName;
        const SSeries idle = SummariseRows(trace, iM, false, BaselineRows(trace));
        // The load's power where the fit's rise was: before anything bent it.
        SRows rowsLoad = SoakRows(trace);
        while (rowsLoad.iEnd > rowsLoad.iFirst && static_cast<double>(trace.vllTimeUs[rowsLoad.iEnd - 1]) / 1e6 >= z.dBend)
        {
            --rowsLoad.iEnd;
        }
        const SSeries load = SummariseRows(trace, iM, false, rowsLoad);
        // Its plateau, the median: a meter that averages lags the step, and its first readings
        // of the load are still the idle power.
        std::vector<tint64> vllLoad;
        for (size_t i = rowsLoad.iFirst; i < rowsLoad.iEnd; ++i)
        {
            if (trace.Value(i, iM) != kMissing)
            {
                vllLoad.push_back(trace.Value(i, iM));
            }
        }
        std::sort(vllLoad.begin(), vllLoad.end());
        const tint64 llLoad = vllLoad.empty() ? 0 : (vllLoad[(vllLoad.size() - 1) / 2] + vllLoad[vllLoad.size() / 2]) / 2;
        const tint64 llResolution = Resolution(trace, iM);
        if (idle.nGot == 0 || load.nGot == 0)
        {
            vCases.push_back(Skipped(strResistance, strMeter + " was not read in the " + (idle.nGot == 0 ? "baseline" : "soak")));
        }
        else if (llLoad - Mean(idle) < llResolution)
        {
            vCases.push_back(Skipped(strResistance, "the load added " + ShowFixed(llLoad - Mean(idle), 6, 1) + " W, less than " +
                                                        strMeter + " resolves (" + ShowFixed(llResolution, 6, 1) + " W)"));
        }
        else
        {
            const double dKelvin = z.fit.dSteady - static_cast<double>(from.llValue) / 1000;
            const double dWatts = static_cast<double>(llLoad - Mean(idle)) / 1e6;
            vCases.push_back(Measured(strResistance, Printed(2, dKelvin / dWatts), "K/W",
                                      ", (T∞ " + Printed(2, z.fit.dSteady) + " C − idle " + ShowFixed(from.llValue, 3, 1) +
                                          " C) / (load " + ShowFixed(llLoad, 6, 1) + " W, its median, − idle " +
                                          ShowFixed(Mean(idle), 6, 1) + " W) on " + strMeter +
                                          (z.strBent.empty() ? "" : ", before " + z.strBent) +
                                          (z.dSpan >= 3 * z.fit.dTau ? "" : "; T∞ is a projection") + BusyRestNote(setup, trace)));
        }
    }
    if (setup.limMaxTemp.bSet)
    {
        // The verdict apart from the figure: a dashboard that keeps a measured case as a
        // metric alone still shows this one's pass or fail.
        vCases.push_back(Verdict("limit-temp-" + sensor.strName, s.llHigh <= setup.limMaxTemp.llValue && strAt.empty(),
                                 strHigh + " C, the highest of the soak" + strAt + LimitText(setup.limMaxTemp, "C") + Unjudged(strAt)));
    }
}

void JudgeMeter(const SSoakSetup& setup, const SSoakTrace& trace, size_t k, const SSeries& s, std::vector<SCase>& vCases)
{
    const SSensor& sensor = setup.vSensors[k];
    const std::string strHigh = ShowFixed(s.llHigh, 6, 1);
    const std::string strAt = ReadAt(s.nGot, SoakRows(trace).Count());
    vCases.push_back(Measured("power-mean-" + sensor.strName, ShowFixed(Mean(s), 6, 1), "W",
                              ", the mean of " + std::to_string(s.nGot) + " samples"));
    vCases.push_back(Measured("power-max-" + sensor.strName, strHigh, "W", ", the highest of the soak" + strAt));
    if (trace.nBaseline > 0)
    {
        const SSeries idle = SummariseRows(trace, k, false, BaselineRows(trace));
        if (idle.nGot == 0)
        {
            vCases.push_back(Skipped("power-idle-" + sensor.strName, sensor.strPath + " could not be read in the baseline"));
            vCases.push_back(Skipped("power-load-" + sensor.strName, sensor.strPath + " could not be read in the baseline"));
        }
        else
        {
            vCases.push_back(Measured("power-idle-" + sensor.strName, ShowFixed(Mean(idle), 6, 1), "W",
                                      ", the mean of " + std::to_string(idle.nGot) + " samples before the load" + RestNote(setup, trace)));
            vCases.push_back(Measured("power-load-" + sensor.strName, ShowFixed(Mean(s) - Mean(idle), 6, 1), "W",
                                      ", what the load added: the soak's mean less the idle mean"));
        }
    }
    if (setup.limMaxPower.bSet)
    {
        vCases.push_back(Verdict("limit-power-" + sensor.strName, s.llHigh <= setup.limMaxPower.llValue && strAt.empty(),
                                 strHigh + " W, the highest of the soak" + strAt + LimitText(setup.limMaxPower, "W") + Unjudged(strAt)));
    }
}

// A counter over the soak's rows (energy in µJ, a cooling device's time in ms): its growth,
// or a skip when it was read fewer than twice or went back.
void JudgeCounter(const SSoakTrace& trace, size_t k, const SSensor& sensor, const std::string& strCase, int nDigits,
                  const char* pszUnits, const std::string& strWhat, std::vector<SCase>& vCases)
{
    const SRows rows = SoakRows(trace);
    const SSeries s = SummariseRows(trace, k, false, rows);
    const tint64 usSoak = rows.Count() > 0 ? trace.vllTimeUs[rows.iEnd - 1] - trace.vllTimeUs[rows.iFirst] : 0;
    if (s.nGot < 2)
    {
        vCases.push_back(Skipped(strCase, sensor.strPath + " could not be read at two of " + std::to_string(rows.Count()) + " samples"));
    }
    else if (s.iBack != 0)
    {
        // A wrap or a reset: what it counted before it is lost.
        vCases.push_back(Skipped(strCase, "the counter went back " + Seconds(trace.vllTimeUs[s.iBack]) + " into the soak, from " +
                                              std::to_string(s.llBackFrom) + " to " + std::to_string(trace.Value(s.iBack, k)) +
                                              " " + pszUnits));
    }
    else
    {
        vCases.push_back(Measured(strCase, ShowFixed(s.llLast - s.llFirst, nDigits, 1), nDigits == 6 ? "J" : "s",
                                  strWhat + " " + Seconds(usSoak) + ReadAt(s.nGot, rows.Count())));
    }
}

// When CPU's clock first fell below the highest it had in the soak, and for how long it ran
// below: from cpufreq's time_in_state where it counts (it sees changes between samples),
// else from the sampled clock.
struct SThrottle
{
    bool bKnown = false;  // else strWhy says why nothing could tell
    std::string strWhy;
    std::string strTop;   // "1800 MHz"
    bool bThrottled = false;
    double dOnset = 0;    // s since the load's start
    double dBelow = 0;    // s below the top clock
    tint64 llLowKHz = -1; // the lowest clock time_in_state saw time at; -1 where it did not count
    std::string strOnsetHow;  // how the onset was placed
    std::string strSource;
};

SThrottle FindThrottle(const SSoakTrace& trace)
{
    SThrottle th;
    const SRows rows = SoakRows(trace);
    // time_in_state where it was read at every sample with the clocks it began with, and never
    // went back (a reset); else the samples, saying why.
    std::vector<size_t> vRead;
    std::string strNotStates;
    for (size_t i = rows.iFirst; i < rows.iEnd && trace.nStates > 0 && strNotStates.empty(); ++i)
    {
        if (trace.vllStateTime[i * trace.nStates] == kMissing)
        {
            strNotStates = "cpufreq's time_in_state changed its clocks, or could not be read, " +
                           Seconds(trace.vllTimeUs[i]) + " into the soak";
        }
        vRead.push_back(i);
    }
    const auto at = [&](size_t i, size_t s) { return trace.vllStateTime[i * trace.nStates + s]; };
    for (size_t j = 1; j < vRead.size() && strNotStates.empty(); ++j)
    {
        for (size_t s = 0; s < trace.nStates && strNotStates.empty(); ++s)
        {
            if (at(vRead[j], s) < at(vRead[j - 1], s))
            {
                strNotStates = "cpufreq's time_in_state went back " + Seconds(trace.vllTimeUs[vRead[j]]) + " into the soak (a reset?)";
            }
        }
    }
    if (vRead.size() >= 2 && strNotStates.empty())
    {
        tint64 llTop = -1;
        for (size_t s = 0; s < trace.nStates; ++s)
        {
            if (at(vRead.back(), s) > at(vRead.front(), s))
            {
                llTop = std::max(llTop, trace.vllStateKHz[s]);
            }
        }
        if (llTop >= 0)
        {
            const auto below = [&](size_t i) {
                tint64 ll = 0;
                for (size_t s = 0; s < trace.nStates; ++s)
                {
                    ll += trace.vllStateKHz[s] < llTop ? at(i, s) : 0;
                }
                return ll;
            };
            th.bKnown = true;
            th.strTop = ShowFixed(llTop, 3, 0) + " MHz";
            for (size_t s = 0; s < trace.nStates; ++s)
            {
                if (at(vRead.back(), s) > at(vRead.front(), s) && (th.llLowKHz < 0 || trace.vllStateKHz[s] < th.llLowKHz))
                {
                    th.llLowKHz = trace.vllStateKHz[s];
                }
            }
            th.strSource = " (cpufreq's time_in_state, which counts every change)";
            th.dBelow = static_cast<double>(below(vRead.back()) - below(vRead.front())) / 100;
            for (size_t j = 1; j < vRead.size() && !th.bThrottled; ++j)
            {
                const tint64 llGrew = below(vRead[j]) - below(vRead[j - 1]);
                if (llGrew > 0)
                {
                    // Below for llGrew ticks of this interval: it fell at its end's minus that, at the latest.
                    const double dFrom = static_cast<double>(trace.vllTimeUs[vRead[j - 1]]) / 1e6;
                    const double dTo = static_cast<double>(trace.vllTimeUs[vRead[j]]) / 1e6;
                    th.bThrottled = true;
                    th.dOnset = std::max(dFrom, dTo - static_cast<double>(llGrew) / 100);
                    th.strOnsetHow = ": " + Printed(2, static_cast<double>(llGrew) / 100) + " s below it in the sample from " +
                                     Printed(2, dFrom) + " to " + Printed(2, dTo) + " s";
                }
            }
            return th;
        }
    }
    // The samples: a change between two is seen at the second, and one shorter than INTERVAL may be missed.
    const SSeries clock = SummariseRows(trace, 0, true, rows);
    if (clock.nGot == 0)
    {
        th.strWhy = strNotStates.empty() ? "neither cpufreq/stats/time_in_state nor cpufreq/scaling_cur_freq could be read"
                                         : strNotStates + ", and cpufreq/scaling_cur_freq could not be read";
        return th;
    }
    th.bKnown = true;
    th.strTop = ShowFixed(clock.llHigh, 3, 0) + " MHz";
    th.strSource = " (" + std::to_string(clock.nGot) + " samples of scaling_cur_freq: a change shorter than INTERVAL may be missed" +
                   (strNotStates.empty() ? "" : "; " + strNotStates) + ")";
    size_t iPrev = rows.iEnd;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        if (trace.vllKHz[i] == kMissing)
        {
            continue;
        }
        if (iPrev != rows.iEnd && trace.vllKHz[iPrev] < clock.llHigh)
        {
            th.dBelow += static_cast<double>(trace.vllTimeUs[i] - trace.vllTimeUs[iPrev]) / 1e6;
        }
        if (!th.bThrottled && trace.vllKHz[i] < clock.llHigh)
        {
            th.bThrottled = true;
            th.dOnset = static_cast<double>(trace.vllTimeUs[i]) / 1e6;
            th.strOnsetHow = ", when a sample first saw it";
        }
        iPrev = i;
    }
    return th;
}

// Where the soak stopped being a plain step of load: the throttle onset, or a cooling device
// leaving state 0 (a fan coming on), whichever came first; HUGE_VAL when neither did.
double BendStart(const SSoakSetup& setup, const SSoakTrace& trace, std::string* pstrWhat)
{
    const SThrottle th = FindThrottle(trace);
    double dBend = th.bThrottled ? th.dOnset : HUGE_VAL;
    *pstrWhat = th.bThrottled ? "the throttle onset at " + Printed(2, th.dOnset) + " s" : "";
    const SRows rows = SoakRows(trace);
    for (size_t k = 0; k < setup.vSensors.size(); ++k)
    {
        if (setup.vSensors[k].eKind != ESensorKind::Cooling)
        {
            continue;
        }
        // One that was above state 0 from the start is the board's own, steady cooling: a bend
        // is its leaving state 0 after an interval spent there, in the baseline or the soak.
        size_t iPrev = rows.iEnd;
        bool bRested = false;
        for (size_t i = 0; i < rows.iEnd; ++i)
        {
            const tint64 ll = trace.Value(i, k);
            if (ll == kMissing)
            {
                continue;
            }
            if (iPrev != rows.iEnd && ll <= trace.Value(iPrev, k))
            {
                bRested = true;
            }
            else if (iPrev != rows.iEnd && bRested)
            {
                const double dFrom = static_cast<double>(trace.vllTimeUs[iPrev]) / 1e6;
                const double dAt = std::max({0.0, dFrom, static_cast<double>(trace.vllTimeUs[i]) / 1e6 -
                                                             static_cast<double>(ll - trace.Value(iPrev, k)) / 1000});
                if (dAt < dBend)
                {
                    dBend = dAt;
                    *pstrWhat = "cooling device " + setup.vSensors[k].strName + " leaving state 0 at " + Printed(2, dAt) + " s";
                }
                break;
            }
            iPrev = i;
        }
    }
    return dBend;
}

void JudgeThrottle(const SSoakSetup& setup, const SSoakTrace& trace, std::vector<SCase>& vCases)
{
    const std::string strCPU = std::to_string(setup.nCPU);
    const std::string strOnset = "throttle-onset-cpu" + strCPU;
    const std::string strTime = "throttle-time-cpu" + strCPU;
    const SRows rows = SoakRows(trace);
    const double dSoak = rows.Count() > 0 ? static_cast<double>(trace.vllTimeUs[rows.iEnd - 1] - trace.vllTimeUs[rows.iFirst]) / 1e6 : 0;
    const SThrottle th = FindThrottle(trace);
    if (!th.bKnown)
    {
        vCases.push_back(Skipped(strOnset, th.strWhy));
        vCases.push_back(Skipped(strTime, th.strWhy));
        return;
    }
    if (th.bThrottled)
    {
        vCases.push_back(Measured(strOnset, Printed(2, th.dOnset), "s",
                                  " into the soak, when CPU " + strCPU + " first ran below " + th.strTop + ", its highest in the soak" +
                                      th.strOnsetHow + th.strSource));
    }
    else
    {
        vCases.push_back(SCase{strOnset, EResult::Pass, "never, CPU " + strCPU + " ran at " + th.strTop + " all through the soak" + th.strSource,
                               "", ""});
    }
    vCases.push_back(Measured(strTime, Printed(2, th.dBelow), "s",
                              " below " + th.strTop + ", its highest in the soak, of " + Printed(2, dSoak) + " s" + th.strSource));
}

void JudgeCycles(const SSoakSetup& setup, const SSoakTrace& trace, std::vector<SCase>& vCases)
{
    const std::string strCPU = std::to_string(setup.nCPU);
    const std::string strCase = "clock-measured-cpu" + strCPU;
    const SRows rows = SoakRows(trace);
    if (!setup.bCycles)
    {
        vCases.push_back(Skipped(strCase, setup.strNoCycles));
        return;
    }
    const tint64 llBusy = rows.Count() > 1 && trace.vllBusy[rows.iFirst] != kMissing && trace.vllBusy[rows.iEnd - 1] != kMissing
                              ? trace.vllBusy[rows.iEnd - 1] - trace.vllBusy[rows.iFirst]
                              : 0;
    if (llBusy <= 0)
    {
        vCases.push_back(Skipped(strCase, "CPU " + strCPU + " was not seen busy, so its cycles say nothing of its clock"));
        return;
    }
    const double dBusy = static_cast<double>(llBusy) / setup.nTicksPerSecond;
    const SSeries claim = SummariseRows(trace, 0, true, rows);
    vCases.push_back(Measured(strCase, Printed(0, static_cast<double>(setup.qwCycles) / dBusy / 1e6), "MHz",
                              ", " + std::to_string(setup.qwCycles) + " cycles over the " + Printed(2, dBusy) + " s CPU " + strCPU +
                                  " was busy; " +
                                  (claim.nGot == 0 ? std::string("cpufreq claims no clock")
                                                   : "cpufreq's mean claim " + Printed(0, static_cast<double>(Mean(claim)) / 1000) + " MHz")));
}

} // namespace

std::vector<SCase> JudgeSoak(const SSoakSetup& setup, const SSoakTrace& trace)
{
    std::vector<SCase> vCases;
    const std::string strCPU = std::to_string(setup.nCPU);
    const SRows rows = SoakRows(trace);
    const size_t nSamples = rows.Count();
    const tint64 usSoak = nSamples > 0 ? trace.vllTimeUs[rows.iEnd - 1] - trace.vllTimeUs[rows.iFirst] : 0;
    const std::string strSoak = Seconds(usSoak);
    const std::string strEnded = setup.strEnded.empty() ? "" : "; " + setup.strEnded;
    if (nSamples == 0)
    {
        vCases.push_back(Verdict("cpu-busy", false, "no sample of the soak was kept"));
    }
    else if (10 * usSoak < 9 * setup.usAsked)
    {
        vCases.push_back(Verdict("cpu-busy", false, "the soak lasted " + strSoak + " of the " +
                                                        ShowFixed(setup.usAsked / 1000, 3, 0) + " s asked"));
    }
    else if (trace.vllBusy[rows.iFirst] != kMissing && trace.vllBusy[rows.iEnd - 1] != kMissing &&
             trace.vllTotal[rows.iEnd - 1] > trace.vllTotal[rows.iFirst])
    {
        const tint64 llBusy = trace.vllBusy[rows.iEnd - 1] - trace.vllBusy[rows.iFirst];
        const tint64 llSpent = trace.vllTotal[rows.iEnd - 1] - trace.vllTotal[rows.iFirst];
        char sz[96];
        std::snprintf(sz, sizeof(sz), "CPU %s %.1f %% busy over %s", strCPU.c_str(),
                      100.0 * static_cast<double>(llBusy) / static_cast<double>(llSpent), strSoak.c_str());
        // Busy with the tool's load: a CPU kept busy by something else while the tool idles is
        // no soak, and a load that cannot be told the tool's is not judged its. A tenth of a
        // CPU, not half: a tool that shares CPU K with other work gets its fair share of it.
        // Its whole tree, for a wrapper that does not exec the tool.
        const tint64 usToolSpan = setup.usToolSpan > 0 ? setup.usToolSpan : usSoak;
        const double dTool =
            setup.bToolNs && usToolSpan > 0 ? static_cast<double>(setup.llToolNs) / 1000 / static_cast<double>(usToolSpan) : 0;
        const std::string strTool = setup.bToolNs ? ", " + Printed(1, 100 * dTool) + " % of a CPU the tool's"
                                                  : ", but how much of it the tool's could not be read";
        vCases.push_back(Verdict("cpu-busy", 100 * llBusy >= 98 * llSpent && setup.bToolNs && dTool >= 0.1,
                                 sz + strTool + strEnded));
    }
    else
    {
        vCases.push_back(Verdict("cpu-busy", false, "CPU " + strCPU + " has no /proc/stat line, or no time passed in " + strSoak));
    }

    bool abSeen[4] = {false, false, false, false};
    bool abMeasured[4] = {false, false, false, false};
    for (size_t k = 0; k < setup.vSensors.size(); ++k)
    {
        const SSensor& sensor = setup.vSensors[k];
        const int nKind = static_cast<int>(sensor.eKind);
        abSeen[nKind] = true;
        const SSeries s = SummariseRows(trace, k, false, rows);
        if (sensor.eKind == ESensorKind::Energy)
        {
            JudgeCounter(trace, k, sensor, "energy-" + sensor.strName, 6, "uJ", " over", vCases);
        }
        else if (sensor.eKind == ESensorKind::Cooling)
        {
            JudgeCounter(trace, k, sensor, "cooling-" + sensor.strName, 3, "ms", " above state 0, of", vCases);
        }
        else if (s.nGot == 0)
        {
            const bool bTemp = sensor.eKind == ESensorKind::Temp;
            const std::string strKind = bTemp ? "temp" : "power";
            const std::string strWhy = sensor.strPath + " could not be read at any of " + std::to_string(nSamples) + " samples";
            vCases.push_back(Skipped(strKind + "-max-" + sensor.strName, strWhy));
            // One that never answers is no sensor of this board; one that answered at rest and
            // not under load is a sensor failing hot, and its limit cannot pass.
            const SLimit& lim = bTemp ? setup.limMaxTemp : setup.limMaxPower;
            if (lim.bSet && SummariseRows(trace, k, false, BaselineRows(trace)).nGot > 0)
            {
                vCases.push_back(Verdict("limit-" + strKind + "-" + sensor.strName, false,
                                         strWhy + " of the soak, though it was read in the baseline" +
                                             LimitText(lim, bTemp ? "C" : "W") + Unjudged(strWhy)));
            }
        }
        else
        {
            abMeasured[nKind] = true;
            if (sensor.eKind == ESensorKind::Temp)
            {
                JudgeZone(setup, trace, k, s, vCases);
            }
            else
            {
                JudgeMeter(setup, trace, k, s, vCases);
            }
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
    const SSeries clock = SummariseRows(trace, 0, true, rows);
    const std::string strFreq = "freq-min-cpu" + strCPU;
    // time_in_state sees a clock that no sample caught: the lowest of the two.
    const SThrottle th = FindThrottle(trace);
    if (clock.nGot > 0 || th.llLowKHz >= 0)
    {
        const bool bStates = th.llLowKHz >= 0 && (clock.nGot == 0 || th.llLowKHz < clock.llLow);
        const tint64 llLow = bStates ? th.llLowKHz : clock.llLow;
        const std::string strLow = ShowFixed(llLow, 3, 0);
        const std::string strAt = bStates ? " (cpufreq's time_in_state)" : ReadAt(clock.nGot, nSamples);
        vCases.push_back(Measured(strFreq, strLow, "MHz", ", the lowest of the soak" + strAt));
        if (setup.limMinFreq.bSet)
        {
            const bool bWhole = bStates || strAt.empty();
            vCases.push_back(Verdict("limit-freq-cpu" + strCPU, llLow >= setup.limMinFreq.llValue && bWhole,
                                     strLow + " MHz, the lowest of the soak" + strAt + LimitText(setup.limMinFreq, "MHz") +
                                         (bWhole ? "" : Unjudged(strAt))));
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
    JudgeThrottle(setup, trace, vCases);
    JudgeCycles(setup, trace, vCases);
    return vCases;
}

std::string FitLines(const SSoakSetup& setup, const SSoakTrace& trace)
{
    std::string str;
    for (size_t k = 0; k < setup.vSensors.size(); ++k)
    {
        const SSeries s = SummariseRows(trace, k, false, SoakRows(trace));
        if (setup.vSensors[k].eKind != ESensorKind::Temp || s.nGot == 0)
        {
            continue;
        }
        const SZoneFit z = FitZone(setup, trace, k, RiseFrom(trace, k, s).llValue);
        if (z.bFitted)
        {
            str += "hogspin-fit," + setup.vSensors[k].strName + ",t0_c=" + Printed(3, z.fit.dStart) + ",tinf_c=" +
                   Printed(3, z.fit.dSteady) + ",tau_s=" + Printed(3, z.fit.dTau) + "\n";
        }
    }
    return str;
}

bool SoakIsSteady(const SSoakSetup& setup, const SSoakTrace& trace, std::string* pstrWhy)
{
    std::string strZones;
    double dTauMax = 0;
    const SRows rows = SoakRows(trace);
    for (size_t k = 0; k < setup.vSensors.size(); ++k)
    {
        const SSeries s = SummariseRows(trace, k, false, rows);
        if (setup.vSensors[k].eKind != ESensorKind::Temp || s.nGot == 0)
        {
            continue;
        }
        // Every zone, fitted or not (a slow one, one a second time constant drives), must have
        // stopped moving: over its last third it would not move 0.5 C were the soak as long again.
        std::vector<double> vdT, vdY;
        for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
        {
            if (trace.Value(i, k) != kMissing)
            {
                vdT.push_back(static_cast<double>(trace.vllTimeUs[i]) / 1e6);
                vdY.push_back(static_cast<double>(trace.Value(i, k)) / 1000);
            }
        }
        if (vdT.empty())
        {
            continue;
        }
        const double dSpan = vdT[vdT.size() - 1];
        const SSlope slope = SlopeFrom(vdT, vdY, dSpan * 2 / 3);
        if (!slope.bKnown || std::fabs(slope.dSlope) * dSpan > 0.5)
        {
            return false;
        }
        const SZoneFit z = FitZone(setup, trace, k, RiseFrom(trace, k, s).llValue);
        if (!z.bFitted)
        {
            continue;
        }
        // Where nothing bent it, also where its fit has it settle, 3 τ on.
        if (z.strBent.empty() && (std::fabs(z.dLast - z.fit.dSteady) > 0.5 || z.dSpan < 3 * z.fit.dTau))
        {
            return false;
        }
        strZones += (strZones.empty() ? "" : ", ") + setup.vSensors[k].strName;
        dTauMax = std::max(dTauMax, z.fit.dTau);
    }
    if (strZones.empty())
    {
        return false;
    }
    *pstrWhy = "every zone still, and each fitted one (" + strZones + ") within 0.5 C of where it settles after 3 τ (τ up to " +
               ShowSeconds(dTauMax) + " s)";
    return true;
}

std::string Printable(const std::string& str, size_t nMax)
{
    std::string strOut = str.substr(0, nMax);
    for (char& c : strOut)
    {
        c = static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    }
    return strOut + (str.size() > nMax ? "..." : "");
}

SCase JudgeSummary(const std::string& strSummary, int nCPU, int nThreads, const std::string& strOnline)
{
    const bool bPass = strSummary == "hogspin " + std::to_string(nCPU) + ", count=" + std::to_string(nThreads) + ", ret=1";
    return Verdict("summary-ret", bPass, (strSummary.empty() ? std::string("no summary line") : Printable(strSummary)) +
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
    else if (stop.bTreeKilled)
    {
        strDetail = "status " + std::to_string(stop.iStatus) + ", but what it started was still running " + stop.strBound +
                    " s after SIGINT: killed";
    }
    else if (!stop.bSignalled)
    {
        strDetail = "it had ended before SIGINT, with status " + std::to_string(stop.iStatus);
    }
    else
    {
        strDetail = "status " + std::to_string(stop.iStatus);
    }
    const bool bPass = stop.bSignalled && !stop.bKilled && !stop.bTreeKilled && stop.iStatus == 0 &&
                       stop.strLastLine == "hogspin " + std::to_string(nCPU) + ", Exit!";
    return Verdict("stop-sigint", bPass, strDetail + ", last line: " + Printable(stop.strLastLine));
}
