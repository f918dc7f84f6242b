// SPDX-License-Identifier: MIT
// Formats the check's lines, exactly and without allocating where a sample's line is made.
#include "SoakLines.h"

#include "NumberText.h"
#include "SoakAnalysis.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace
{

const char* const kResults[] = {"pass", "fail", "skip"};

} // namespace

std::string CaseLine(const SCase& c)
{
    return "hogspin-check: " + c.strName + ": " + kResults[static_cast<int>(c.eResult)] + " (" + c.strDetails + ")\n";
}

std::string ResultLine(const SCase& c)
{
    std::string str = c.strName + " " + kResults[static_cast<int>(c.eResult)];
    // LAVA takes a number as a measurement: "never" is no number.
    if (!c.strMeasurement.empty() && c.strMeasurement != "never")
    {
        str += " " + c.strMeasurement + " " + c.strUnits;
    }
    return str + "\n";
}

std::string DataLine(const SCase& c)
{
    return "hogspin-case," + c.strName + "," + kResults[static_cast<int>(c.eResult)] + "," + c.strMeasurement + "," +
           c.strUnits + "\n" + (c.strLow.empty() ? "" : "hogspin-interval," + c.strName + "," + c.strLow + "," + c.strHigh + ",95\n");
}

namespace
{

// Text in a line of fields: each byte outside printable ASCII, and each of the line's own
// separators and '%', as %XX, so that values differing only there stay apart.
std::string Escaped(const std::string& str, const char* pszSeparators)
{
    std::string strOut;
    for (const char c : str)
    {
        const unsigned char uc = static_cast<unsigned char>(c);
        char sz[4];
        std::snprintf(sz, sizeof(sz), "%%%02X", uc);
        strOut += uc == '%' || std::strchr(pszSeparators, c) != nullptr || uc < ' ' || uc > '~' ? std::string(sz) : std::string(1, c);
    }
    return strOut;
}

} // namespace

std::string BoardLine(const SBoardId& id)
{
    const auto clean = [](const std::string& str) { return Escaped(str, ","); };
    return "hogspin-board,model=" + clean(id.strModel) + ",kernel=" + clean(id.strKernel) + ",host=" + clean(id.strHost) +
           ",board=" + clean(id.strBoard) + ",started=" + clean(id.strStarted) + ",check=" + clean(id.strCheck) + "\n";
}

std::string UtcStamp(long long llSeconds)
{
    const time_t t = static_cast<time_t>(llSeconds);
    tm utc{};
    char sz[32];
    // A 32-bit time_t cannot hold every long long; gmtime_r fails past year 2^31.
    if (static_cast<long long>(t) != llSeconds || gmtime_r(&t, &utc) == nullptr || utc.tm_year + 1900 < 0 ||
        utc.tm_year + 1900 > 9999 || std::strftime(sz, sizeof(sz), "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
    {
        return "";
    }
    return sz;
}

std::string TraceHeader(int nCPU, const std::vector<SSensor>& vSensors)
{
    const std::string strCPU = "cpu" + std::to_string(nCPU);
    std::string str = "hogspin-trace,t_s," + strCPU + "_busy_pct," + strCPU + "_mhz";
    for (const SSensor& s : vSensors)
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

std::string LimitsLine(const SLimits& limits)
{
    return "hogspin-limits,max_temp_c=" + limits.limMaxTemp.strText + ",min_freq_mhz=" + limits.limMinFreq.strText +
           ",max_power_w=" + limits.limMaxPower.strText + "\n";
}

std::string SensorsLine(const std::vector<SSensor>& vSensors)
{
    std::string str = "hogspin-sensors";
    for (const SSensor& s : vSensors)
    {
        if (s.eKind == ESensorKind::Temp || s.eKind == ESensorKind::Power)
        {
            // By its trace column's name: a zone and a meter may share a name.
            str += "," + s.strName + (s.eKind == ESensorKind::Temp ? "_c=" : "_w=") + Escaped(s.strPath, ",;=");
            for (const tint64 llTrip : s.vllPassiveTrips)
            {
                str += ";" + ShowFixed(llTrip, 3, 0);
            }
        }
    }
    return str + "\n";
}

size_t FormatTraceLine(const std::vector<SSensor>& vSensors, const SSoakTrace& trace, size_t iSample, char* pBuf, size_t cb)
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
    {
        // To the µs: a stored soak judged again fits the very times the live run did.
        char sz[48];
        put(sz, static_cast<size_t>(FormatFixed(sz, sizeof(sz), us, 6, 1)));
    }
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
    for (size_t k = 0; k < vSensors.size(); ++k)
    {
        const ESensorKind eKind = vSensors[k].eKind;
        if (eKind == ESensorKind::Temp || eKind == ESensorKind::Power)
        {
            fixed(trace.Value(iSample, k), eKind == ESensorKind::Temp ? 3 : 6, 1);
        }
    }
    put("\n", 1);
    return bFits ? n : 0;
}

std::string FitLines(const SSoakAnalysis& analysis)
{
    std::string str;
    for (const SSensorAnalysis& s : analysis.vSensors)
    {
        const SZoneFit& z = s.fit;
        if (z.bFitted)
        {
            const SModel& m = z.model;
            str += "hogspin-fit," + s.sensor.strName + ",t0_c=" + Printed(3, m.Start()) + ",tinf_c=" + Printed(3, m.dSteady) +
                   ",tau_s=" + Printed(3, m.dTau / 1e6) +
                   (m.nPoles == 2 ? ",tau_fast_s=" + Printed(3, m.dTauFast / 1e6) + ",fast_share=" + Printed(3, m.dFast / (m.dFast + m.dSlow))
                                  : "") +
                   "\n";
        }
    }
    for (const SSensorAnalysis& s : analysis.vSensors)
    {
        const SSustain& p = s.sustain;
        if (p.bKnown)
        {
            str += "hogspin-dt," + s.sensor.strName + ",sustainable-power=" + Printed(0, p.dMilliwatts) + "\n";
        }
    }
    return str;
}
