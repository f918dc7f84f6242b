// SPDX-License-Identifier: MIT
// Reads and checks the check's arguments and environment; one usage text, one help text.
#include "SoakParams.h"
#include "SoakSteady.h"

#include "NumberText.h"
#include "SysfsText.h"

#include <algorithm>
#include <string>

const char kCheckUsage[] = "usage: hogspin-check [--results FILE] CPU THREADS SETTLE [HOGSPIN]";

const char kCheckHelp[] =
    "usage: hogspin-check [--results FILE] CPU THREADS SETTLE [HOGSPIN]\n"
    "       hogspin-check [--results FILE] --judge LOG [--until SECONDS]\n"
    "\n"
    "Runs HOGSPIN CPU THREADS (HOGSPIN: hogspin from PATH by default) for a soak of SETTLE\n"
    "seconds while it samples the board's thermal zones, power meters and CPU's clock, stops\n"
    "it with SIGINT, and judges the board: a line \"hogspin-check: CASE: RESULT (DETAILS)\" per\n"
    "case, each followed by \"hogspin-case,CASE,RESULT,MEASUREMENT,UNITS\". CPU may be a list\n"
    "(0-3, 0,2,4-5) or all (every online CPU of the check's cpuset): one HOGSPIN a CPU.\n"
    "\n"
    "  --results FILE  also write \"CASE RESULT [MEASUREMENT UNITS]\" a line to FILE\n"
    "  --cases         list every case the check can give: its name, units and meaning\n"
    "  --judge LOG     judge the soak a stored log holds (the check's output, or a LAVA log of\n"
    "                  it) again, with today's parameters; --until as if it had ended then\n"
    "\n"
    "Parameters, from the environment (default, unit):\n"
    "  INTERVAL       time between samples (1, s)\n"
    "  BASELINE       time sampled at rest before the load (0, s)\n"
    "  UNTIL_STEADY   1 ends the soak once every zone is steady, SETTLE the ceiling (0)\n"
    "  STEADY_TOL     how narrow each zone's 95 % interval of T∞ must be to end it (1, C)\n"
    "  STEADY_RULE    check, or a standard's rate too: iec62368, iec60034, iec60598, iec61810\n"
    "  STOP_BOUND     time the stop may take before the tool's group is killed (5, s)\n"
    "  MAX_TEMP       a zone above it fails limit-temp-ZONE (none, C)\n"
    "  MIN_FREQ       CPU's clock below it fails limit-freq-cpuK (none, MHz)\n"
    "  MAX_POWER      a meter above it fails limit-power-METER (none, W)\n"
    "  SUSTAIN_TEMP   the temperature sustainable power is reckoned at (the highest passive trip, C)\n"
    "  OPP_SWEEP      1 sweeps CPU's operating points after the soak, writing its policy (0)\n"
    "  OPP_HOLD       time the load is held at each operating point (10, s)\n"
    "  POWER_METER    the meter thermal resistance divides by, where there are several\n"
    "  BOARD          the board's name in the hogspin-board line\n"
    "  HOGSPIN_SYSFS  the tree the sensors and the clock are read from (/sys)\n"
    "\n"
    "Exit status: 0 every case passed or skipped; 1 a case failed, the tool could not be\n"
    "started, or a line could not be written; 2 a bad parameter, or a log that cannot be\n"
    "judged; 128+N ended by signal N.\n"
    "Every case and parameter: man hogspin-check\n";

namespace
{

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


// Why digits that read as a number are still refused, for the message; empty for the rest.
std::string NumberHint(const std::string& str, bool bWhole)
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

// The reasons gathered while the parameters are read, each rule saying what it refused.
class CParamReader
{
public:
    explicit CParamReader(PFNGETENV pfnGetEnv) : m_pfnGetEnv(pfnGetEnv) {}

    void Bad(const std::string& str) { m_strWhy += (m_strWhy.empty() ? "" : "; ") + str; }
    const std::string& Why() const { return m_strWhy; }

    std::string Env(const char* pszName, const char* pszDefault = "") const
    {
        const char* psz = m_pfnGetEnv(pszName);
        return psz == nullptr || *psz == '\0' ? std::string(pszDefault) : std::string(psz);
    }

    void Whole(const char* pszName, const std::string& str, int nLeast, int* pn)
    {
        if (!ParseWhole(str, pn))
        {
            Bad(std::string(pszName) + " must be a whole number such as 2, not '" + str + "'" + NumberHint(str, true));
        }
        else if (*pn < nLeast)
        {
            Bad(std::string(pszName) + " must be at least " + std::to_string(nLeast) + ", not '" + str + "'");
        }
    }

    // In thousandths.
    bool Decimal(const char* pszName, const std::string& str, bool bSigned, tint64* pll)
    {
        const bool bGood = ParseDecimal(str, bSigned, pll);
        if (!bGood)
        {
            Bad(std::string(pszName) + " must be a number such as 2 or 0.5, not '" + str + "'" + NumberHint(str, false));
        }
        return bGood;
    }

    // Seconds, into µs.
    void Seconds(const char* pszName, const std::string& str, bool bPositive, tint64* pus)
    {
        tint64 llMilli = 0;
        if (Decimal(pszName, str, false, &llMilli) && bPositive && llMilli <= 0)
        {
            Bad(std::string(pszName) + " must be above 0, not '" + str + "'");
        }
        *pus = llMilli * 1000;
    }

    // Into the samples' unit, 10^nDigits of the one given.
    void Limit(const char* pszName, bool bSigned, int nDigits, SLimit* pLim)
    {
        pLim->strText = Env(pszName);
        pLim->bSet = !pLim->strText.empty();
        tint64 llMilli = 0;
        if (pLim->bSet && Decimal(pszName, pLim->strText, bSigned, &llMilli))
        {
            pLim->llValue = llMilli * Pow10(nDigits - 3);
        }
    }

private:
    PFNGETENV m_pfnGetEnv;
    std::string m_strWhy;
};

// How many samples a span takes at INTERVAL, to the nearest; one shorter than an interval
// still takes one.
tint64 SamplesIn(tint64 usSpan, tint64 usInterval)
{
    return usSpan < usInterval ? 1 : (2 * usSpan + usInterval) / (2 * usInterval);
}

// CPU: one CPU, a list of them in the kernel's format, or "all".
void ReadCpuList(CParamReader& reader, const std::string& str, SCheckParams* p)
{
    std::string strWhy;
    p->bAllCPUs = str == "all";
    if (p->bAllCPUs)
    {
        return;
    }
    if (!ParseCpuList(str, &p->vnCPUs, &strWhy))
    {
        reader.Bad("CPU must be a CPU such as 2, a list such as 0-3 or 0,2,4-5, or all: " + strWhy);
        return;
    }
    std::sort(p->vnCPUs.begin(), p->vnCPUs.end());
    p->nCPU = p->vnCPUs.front();
}

} // namespace

bool ChooseAllCPUs(const std::string& strOnline, const std::vector<int>& vnAllowed, SCheckParams* pParams, std::string* pstrWhy)
{
    std::vector<int> vnOnline;
    std::string strWhy;
    if (!ParseCpuList(strOnline, &vnOnline, &strWhy))
    {
        *pstrWhy = "CPU=all, but the online CPUs cannot be read ('" + strOnline + "'): " + strWhy;
        return false;
    }
    pParams->vnCPUs.clear();
    for (const int n : vnOnline)
    {
        if (std::find(vnAllowed.begin(), vnAllowed.end(), n) != vnAllowed.end())
        {
            pParams->vnCPUs.push_back(n);
        }
    }
    std::sort(pParams->vnCPUs.begin(), pParams->vnCPUs.end());
    if (pParams->vnCPUs.empty())
    {
        *pstrWhy = "CPU=all, but no online CPU (" + strOnline + ") is in the check's own cpuset (" + CpuListText(vnAllowed) + ")";
        return false;
    }
    pParams->nCPU = pParams->vnCPUs.front();
    return true;
}

// STEADY_TOL, above 0 C, and STEADY_RULE, one of the steady rules by name.
static void ReadSteady(CParamReader& reader, SCheckParams* pParams)
{
    SCheckParams& p = *pParams;
    SLimit limTol;
    reader.Limit("STEADY_TOL", false, 3, &limTol);
    p.llSteadyTol = limTol.bSet ? limTol.llValue : 1000;
    if (limTol.bSet && limTol.strText.find_first_not_of("0.") == std::string::npos)
    {
        reader.Bad("STEADY_TOL must be more than 0 C, not '" + limTol.strText + "'");
    }
    const std::string strRule = reader.Env("STEADY_RULE", "check");
    std::string strRules;
    p.iSteadyRule = -1;
    for (size_t i = 0; i < kSteadyRuleCount; ++i)
    {
        p.iSteadyRule = strRule == kSteadyRules[i].pszName ? static_cast<int>(i) : p.iSteadyRule;
        strRules += std::string(i == 0 ? "" : ", ") + kSteadyRules[i].pszName;
    }
    if (p.iSteadyRule < 0)
    {
        reader.Bad("STEADY_RULE must be one of " + strRules + ", not '" + strRule + "'");
        p.iSteadyRule = 0;
    }
}

bool ParseParams(const std::vector<std::string>& vArgs, PFNGETENV pfnGetEnv, SCheckParams* pParams, std::string* pstrWhy)
{
    CParamReader reader(pfnGetEnv);
    SCheckParams& p = *pParams;
    if (vArgs.size() < 3 || vArgs.size() > 4)
    {
        reader.Bad(kCheckUsage);
    }
    if (vArgs.size() >= 3)
    {
        ReadCpuList(reader, vArgs[0], &p);
        reader.Whole("THREADS", vArgs[1], 1, &p.nThreads);
        reader.Seconds("SETTLE", vArgs[2], true, &p.usSettle);
    }
    p.strHogspin = vArgs.size() > 3 && !vArgs[3].empty() ? vArgs[3] : "hogspin";
    reader.Seconds("INTERVAL", reader.Env("INTERVAL", "1"), true, &p.usInterval);
    reader.Seconds("STOP_BOUND", reader.Env("STOP_BOUND", "5"), true, &p.usStopBound);
    reader.Limit("MAX_TEMP", true, 3, &p.limits.limMaxTemp);
    reader.Limit("MIN_FREQ", false, 3, &p.limits.limMinFreq);
    reader.Limit("MAX_POWER", false, 6, &p.limits.limMaxPower);
    reader.Limit("SUSTAIN_TEMP", true, 3, &p.limits.limSustainTemp);
    p.strSysfs = reader.Env("HOGSPIN_SYSFS", "/sys");
    reader.Seconds("BASELINE", reader.Env("BASELINE", "0"), false, &p.usBaseline);
    p.strPowerMeter = reader.Env("POWER_METER");
    p.strBoard = reader.Env("BOARD");
    const std::string strSteady = reader.Env("UNTIL_STEADY");
    if (strSteady != "" && strSteady != "0" && strSteady != "1")
    {
        reader.Bad("UNTIL_STEADY must be 0 or 1, not '" + strSteady + "'");
    }
    p.bUntilSteady = strSteady == "1";
    ReadSteady(reader, &p);
    const std::string strSweep = reader.Env("OPP_SWEEP");
    if (strSweep != "" && strSweep != "0" && strSweep != "1")
    {
        reader.Bad("OPP_SWEEP must be 0 or 1, not '" + strSweep + "'");
    }
    p.bOppSweep = strSweep == "1";
    reader.Seconds("OPP_HOLD", reader.Env("OPP_HOLD", "10"), true, &p.usOppHold);
    if (reader.Why().empty())
    {
        const tint64 llSamples = SamplesIn(p.usSettle, p.usInterval);
        if (llSamples > static_cast<tint64>(kMaxSamples))
        {
            reader.Bad("SETTLE / INTERVAL gives " + std::to_string(llSamples) + " samples, more than " + std::to_string(kMaxSamples));
        }
        p.nSamples = static_cast<size_t>(llSamples);
        // The baseline's samples, at the same INTERVAL, before the tool starts.
        const tint64 llBaseline = p.usBaseline == 0 ? 0 : SamplesIn(p.usBaseline, p.usInterval);
        if (llSamples <= static_cast<tint64>(kMaxSamples) && llBaseline + llSamples > static_cast<tint64>(kMaxSamples))
        {
            reader.Bad("BASELINE / INTERVAL gives " + std::to_string(llBaseline) + " samples, more than the soak's " +
                       std::to_string(kMaxSamples - static_cast<size_t>(llSamples)) + " leave");
        }
        p.nBaseline = static_cast<size_t>(llBaseline);
        // A line through the load's readings at each point wants a few of them, after the
        // first, which a meter that averages still reads partly at rest.
        const tint64 llHold = SamplesIn(p.usOppHold, p.usInterval);
        if (p.bOppSweep && (llHold < 4 || llHold > 100000))
        {
            reader.Bad("OPP_HOLD / INTERVAL gives " + std::to_string(llHold) + " samples at each operating point, not 4 to 100000");
        }
        p.nOppHold = static_cast<size_t>(llHold);
        p.nOppRest = std::max<size_t>(3, p.nOppHold / 4);
    }
    *pstrWhy = reader.Why();
    return pstrWhy->empty();
}
