// SPDX-License-Identifier: MIT
// Reads a soak's log back: LAVA's quoting undone, the trace's exact figures, the cases in order.
#include "SoakLog.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "NumberText.h"

namespace
{

const tint64 kMaxTraceUs = 1000000000000;  // 10⁶ s
const tint64 kMaxKHz = 100000000;          // 100 GHz
const tint64 kMaxMicrowatts = 10000000000; // 10 kW either way

bool StartsWith(const std::string& str, const char* psz)
{
    return str.compare(0, std::char_traits<char>::length(psz), psz) == 0;
}

// A JSON string's body from p on (after its opening quote), escapes undone; false where it
// does not end. A \u escape past ASCII is kept as '?': the check writes ASCII.
bool Unquote(const std::string& str, size_t p, std::string* pstrOut)
{
    for (; p < str.size(); ++p)
    {
        const char ch = str[p];
        if (ch == '"')
        {
            return true;
        }
        if (ch != '\\')
        {
            *pstrOut += ch;
            continue;
        }
        if (++p >= str.size())
        {
            return false;
        }
        const char e = str[p];
        if (e == 'u' && p + 4 < str.size())
        {
            const long l = std::strtol(str.substr(p + 1, 4).c_str(), nullptr, 16);
            *pstrOut += l > 0 && l < 128 ? static_cast<char>(l) : '?';
            p += 4;
            continue;
        }
        *pstrOut += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
    }
    return false;
}

// Text without a terminal's colour escapes.
std::string Uncoloured(const std::string& str)
{
    std::string strOut;
    for (size_t i = 0; i < str.size(); ++i)
    {
        if (str[i] == '\x1b' && i + 1 < str.size() && str[i + 1] == '[')
        {
            i += 2;
            while (i < str.size() && !std::isalpha(static_cast<unsigned char>(str[i])))
            {
                ++i;
            }
            continue;
        }
        strOut += str[i];
    }
    return strOut;
}

bool IsLavaLine(const std::string& str)
{
    const size_t p = str.find_first_not_of(" \t");
    return p != std::string::npos && str.compare(p, 1, "-") == 0 && str.find('{', p) != std::string::npos &&
           str.find_first_not_of(" \t", p + 1) == str.find('{', p);
}

std::vector<std::string> Split(const std::string& str, char ch)
{
    std::vector<std::string> v(1);
    for (const char c : str)
    {
        if (c == ch)
        {
            v.emplace_back();
        }
        else
        {
            v.back() += c;
        }
    }
    return v;
}

// "hogspin-check: NAME: RESULT (...)": NAME where RESULT is a case's, else "".
std::string CaseName(const std::string& str)
{
    const size_t nPrefix = sizeof("hogspin-check: ") - 1;
    const size_t pColon = str.find(": ", nPrefix);
    if (!StartsWith(str, "hogspin-check: ") || pColon == std::string::npos)
    {
        return "";
    }
    const std::string strRest = str.substr(pColon + 2);
    for (const char* psz : {"pass", "fail", "skip"})
    {
        if (strRest == psz || StartsWith(strRest, (std::string(psz) + " (").c_str()))
        {
            return str.substr(nPrefix, pColon - nPrefix);
        }
    }
    return "";
}

// The trace's header: CPU K's number, and its zones and meters.
bool ReadHeader(const std::string& str, SStoredSoak* pSoak)
{
    const std::vector<std::string> vFields = Split(str, ',');
    if (vFields.size() < 4 || vFields[1] != "t_s" || !StartsWith(vFields[2], "cpu"))
    {
        return false;
    }
    const std::string strCPU = vFields[2].substr(0, vFields[2].find('_'));
    if (vFields[2] != strCPU + "_busy_pct" || vFields[3] != strCPU + "_mhz" || strCPU.size() < 4 ||
        strCPU.find_first_not_of("0123456789", 3) != std::string::npos || strCPU.size() > 7)
    {
        return false;
    }
    pSoak->nCPU = std::atoi(strCPU.c_str() + 3);
    for (size_t i = 4; i < vFields.size(); ++i)
    {
        const std::string& strCol = vFields[i];
        const bool bTemp = strCol.size() > 2 && strCol.compare(strCol.size() - 2, 2, "_c") == 0;
        const bool bPower = strCol.size() > 2 && strCol.compare(strCol.size() - 2, 2, "_w") == 0;
        if (!bTemp && !bPower)
        {
            return false;
        }
        // The log knows a sensor by its name alone: the verdicts say that where they would say its path.
        const std::string strName = strCol.substr(0, strCol.size() - 2);
        pSoak->board.vSensors.push_back({bTemp ? ESensorKind::Temp : ESensorKind::Power, strName, strName});
    }
    return true;
}

// One trace line into the samples; false where its fields are not the header's.
bool ReadRow(const std::string& str, SStoredSoak* pSoak)
{
    const std::vector<std::string> vFields = Split(str, ',');
    SSoakTrace& trace = pSoak->run.trace;
    const std::vector<SSensor>& vSensors = pSoak->board.vSensors;
    if (vFields.size() != 4 + vSensors.size())
    {
        return false;
    }
    tint64 us = 0, llTenths = 0, llKHz = 0;
    if (!ParseFixed(vFields[1], 6, &us) || us == kMissing || !ParseFixed(vFields[2], 1, &llTenths) || !ParseFixed(vFields[3], 3, &llKHz))
    {
        return false;
    }
    std::vector<tint64> vllValues;
    for (size_t k = 0; k < vSensors.size(); ++k)
    {
        tint64 ll = 0;
        const bool bTemp = vSensors[k].eKind == ESensorKind::Temp;
        if (!ParseFixed(vFields[4 + k], bTemp ? 3 : 6, &ll) || (!bTemp && ll != kMissing && (ll < -kMaxMicrowatts || ll > kMaxMicrowatts)))
        {
            return false;
        }
        vllValues.push_back(ll);
    }
    // Times the check can write (SETTLE has at most 9 characters), clocks and shares it can read.
    const bool bSane = us > -kMaxTraceUs && us < kMaxTraceUs && (llKHz == kMissing || (llKHz >= 0 && llKHz <= kMaxKHz)) &&
                       (llTenths == kMissing || (llTenths >= 0 && llTenths <= 1000));
    if (!bSane || (!trace.vllTimeUs.empty() && us < trace.vllTimeUs.back()))
    {
        return false;
    }
    // Busy and total rebuilt as counters that give each row's share as it was written.
    const bool bFirst = trace.vllTimeUs.empty();
    trace.vllTotal.push_back(bFirst ? 0 : trace.vllTotal.back() + 1000);
    trace.vllBusy.push_back(bFirst ? 0 : trace.vllBusy.back() + (llTenths == kMissing ? 0 : llTenths));
    trace.vllTimeUs.push_back(us);
    trace.vllKHz.push_back(llKHz);
    trace.vllMaxKHz.push_back(kMissing);
    trace.vllValues.insert(trace.vllValues.end(), vllValues.begin(), vllValues.end());
    trace.nBaseline += us < 0 ? 1 : 0;
    ++trace.nSamples;
    pSoak->vRows.push_back(str);
    return true;
}

// %XX back to its byte; false where it is no such escape.
bool Unescape(const std::string& str, std::string* pstrOut)
{
    for (size_t i = 0; i < str.size(); ++i)
    {
        if (str[i] != '%')
        {
            *pstrOut += str[i];
            continue;
        }
        if (i + 2 >= str.size() || !std::isxdigit(static_cast<unsigned char>(str[i + 1])) || !std::isxdigit(static_cast<unsigned char>(str[i + 2])))
        {
            return false;
        }
        *pstrOut += static_cast<char>(std::strtol(str.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
    }
    return true;
}

// "hogspin-sensors,COLUMN=PATH[;TRIP_C...],...": each sensor's path, and a zone's passive trips.
bool ReadSensors(const std::string& str, SStoredSoak* pSoak)
{
    const std::vector<std::string> vFields = Split(str, ',');
    for (size_t i = 1; i < vFields.size(); ++i)
    {
        const size_t pEq = vFields[i].find('=');
        auto it = std::find_if(pSoak->board.vSensors.begin(), pSoak->board.vSensors.end(), [&](const SSensor& sensor) {
            return pEq != std::string::npos && sensor.strName + (sensor.eKind == ESensorKind::Temp ? "_c" : "_w") == vFields[i].substr(0, pEq);
        });
        const std::vector<std::string> vParts = Split(vFields[i].substr(pEq == std::string::npos ? 0 : pEq + 1), ';');
        std::string strPath;
        if (it == pSoak->board.vSensors.end() || !Unescape(vParts[0], &strPath) || (it->eKind != ESensorKind::Temp && vParts.size() > 1))
        {
            return false;
        }
        it->strPath = strPath;
        for (size_t k = 1; k < vParts.size(); ++k)
        {
            tint64 ll = 0;
            if (!ParseFixed(vParts[k], 3, &ll) || ll == kMissing)
            {
                return false;
            }
            it->vllPassiveTrips.push_back(ll);
        }
    }
    return true;
}

std::string Where(size_t iLine, const std::string& str)
{
    return "line " + std::to_string(iLine) + " ('" + Printable(str, 80) + "')";
}

// One of the check's lines into the soak; "" or what is wrong with it.
std::string Take(const std::string& str, SStoredSoak* pSoak)
{
    SStoredSoak& s = *pSoak;
    if (StartsWith(str, "hogspin-board,"))
    {
        if (!s.strBoardLine.empty())
        {
            return "a second soak begins: judge one soak's log at a time";
        }
        s.strBoardLine = str;
        return "";
    }
    if (StartsWith(str, "hogspin-trace,t_s,"))
    {
        if (s.strBoardLine.empty() || !s.strHeader.empty())
        {
            return s.strBoardLine.empty() ? "a trace with no hogspin-board line before it" : "a second trace's header";
        }
        s.strHeader = str;
        return ReadHeader(str, pSoak) ? "" : "a trace header this check does not write (an older check's?)";
    }
    if (StartsWith(str, "hogspin-trace,"))
    {
        return s.strHeader.empty() ? "a trace line before the trace's header"
               : ReadRow(str, pSoak) ? ""
                                     : "a trace line whose fields are not its header's, out of order, or past what a soak reads "
                                       "(a time beyond 10^6 s, a clock below 0 or above 100 GHz, a busy share beyond 0 to 100 %, a meter beyond 10 kW)";
    }
    if (StartsWith(str, "hogspin-sensors,"))
    {
        return s.strHeader.empty() ? "sensors before the trace's header" : ReadSensors(str, pSoak) ? "" : "a sensor the trace does not hold, or no path";
    }
    const std::string strName = CaseName(str);
    if (!strName.empty())
    {
        s.vCases.push_back({strName, str, "", {}});
        return "";
    }
    if (StartsWith(str, "hogspin-case,"))
    {
        if (s.vCases.empty() || !StartsWith(str, ("hogspin-case," + s.vCases.back().strName + ",").c_str()) ||
            !s.vCases.back().strDataLine.empty())
        {
            return "a data line that follows no case line of its name";
        }
        s.vCases.back().strDataLine = str;
        return "";
    }
    // The figures judging gives anew; a sweep's are carried with the case they follow.
    const bool bOwn = StartsWith(str, "hogspin-limits,") || StartsWith(str, "hogspin-fit,") || StartsWith(str, "hogspin-interval,") ||
                      (StartsWith(str, "hogspin-dt,") && str.find(",sustainable-power=") != std::string::npos);
    if (!bOwn && !s.vCases.empty())
    {
        s.vCases.back().vAfter.push_back(str);
    }
    return "";
}

} // namespace

bool ParseFixed(const std::string& str, int nDigits, tint64* pll)
{
    if (str.empty())
    {
        *pll = kMissing;
        return true;
    }
    const bool bNegative = str[0] == '-';
    const size_t pDot = str.find('.');
    const std::string strWhole = str.substr(bNegative ? 1 : 0, pDot == std::string::npos ? std::string::npos : pDot - (bNegative ? 1 : 0));
    const std::string strPart = pDot == std::string::npos ? "" : str.substr(pDot + 1);
    const auto digits = [](const std::string& s) { return s.find_first_not_of("0123456789") == std::string::npos; };
    if (strWhole.empty() || strWhole.size() > 12 || !digits(strWhole) || !digits(strPart) || strPart.size() > static_cast<size_t>(nDigits) ||
        (pDot != std::string::npos && strPart.empty()))
    {
        return false;
    }
    tint64 ll = std::atoll(strWhole.c_str()) * Pow10(nDigits);
    ll += strPart.empty() ? 0 : std::atoll(strPart.c_str()) * Pow10(nDigits - static_cast<int>(strPart.size()));
    *pll = bNegative ? -ll : ll;
    return true;
}

std::vector<std::string> CheckLinesIn(const std::string& strLine)
{
    std::string str = strLine;
    if (IsLavaLine(str))
    {
        const size_t pMsg = str.find("\"msg\":");
        const size_t pQuote = pMsg == std::string::npos ? pMsg : str.find_first_not_of(" ", pMsg + 6);
        std::string strMsg;
        if (pQuote == std::string::npos || str[pQuote] != '"' || !Unquote(str, pQuote + 1, &strMsg))
        {
            return {};  // a result, or what was typed: a mapping
        }
        str = strMsg;
    }
    std::vector<std::string> vOut;
    for (std::string strText : Split(str, '\n'))
    {
        strText = Uncoloured(strText);
        while (!strText.empty() && (strText.back() == '\r' || strText.back() == ' '))
        {
            strText.pop_back();
        }
        const size_t p = strText.find("hogspin-");
        if (p != std::string::npos)
        {
            vOut.push_back(strText.substr(p));
        }
    }
    return vOut;
}

bool ReadSoakLog(const std::vector<std::string>& vLines, SStoredSoak* pSoak, std::string* pstrWhy)
{
    *pSoak = SStoredSoak();
    for (size_t i = 0; i < vLines.size(); ++i)
    {
        const std::string& strLine = vLines[i];
        const bool bLava = IsLavaLine(strLine);
        if (!bLava && strLine.find_first_not_of(" \t\r") != std::string::npos && !StartsWith(strLine, "hogspin-"))
        {
            *pstrWhy = Where(i + 1, strLine) + " is not the check's";
            return false;
        }
        for (const std::string& str : CheckLinesIn(strLine))
        {
            const std::string strWhy = Take(str, pSoak);
            if (!strWhy.empty())
            {
                *pstrWhy = Where(i + 1, str) + ": " + strWhy;
                return false;
            }
        }
    }
    const SSoakTrace& trace = pSoak->run.trace;
    if (pSoak->strHeader.empty() || trace.nSamples < trace.nBaseline + 2)
    {
        *pstrWhy = pSoak->strHeader.empty() ? "no trace: not the log of a soak by this check" : "a trace of no soak: too few samples after the load's start";
        return false;
    }
    if (pSoak->vCases.empty() || pSoak->vCases.back().strName != "stop-sigint")
    {
        *pstrWhy = "cut short: it ends at line " + std::to_string(vLines.size()) + " before the tool's stop was judged";
        return false;
    }
    pSoak->run.trace.nSensors = pSoak->board.vSensors.size();
    // A soak whose load failed measured no board under load: judged again, it still is not.
    const std::string strFailed = "not judged: the load failed, ";
    for (const SStoredCase& stored : pSoak->vCases)
    {
        const SCase c = StoredAsCase(stored);
        if (c.strDetails.rfind(strFailed, 0) == 0)
        {
            pSoak->run.bCut = true;
            pSoak->run.strEnded = c.strDetails.substr(strFailed.size());
        }
    }
    // The soak as run: from its first sample to its last, whole intervals.
    pSoak->run.usPlanned = trace.vllTimeUs.back() - trace.vllTimeUs[trace.nBaseline];
    return true;
}

void CutSoak(SStoredSoak* pSoak, tint64 usUntil)
{
    SSoakTrace& trace = pSoak->run.trace;
    const tint64 usFirst = trace.vllTimeUs[trace.nBaseline];
    size_t n = trace.nBaseline + 2;
    while (n < trace.nSamples && trace.vllTimeUs[n] - usFirst <= usUntil)
    {
        ++n;
    }
    trace.nSamples = n;
    trace.vllTimeUs.resize(n);
    trace.vllBusy.resize(n);
    trace.vllTotal.resize(n);
    trace.vllKHz.resize(n);
    trace.vllMaxKHz.resize(n);
    trace.vllValues.resize(n * trace.nSensors);
    pSoak->vRows.resize(n);
    pSoak->run.usPlanned = trace.vllTimeUs.back() - usFirst;
}

SCase StoredAsCase(const SStoredCase& stored)
{
    SCase c{stored.strName, EResult::Skip, "", "", ""};
    const std::string strRest = stored.strCaseLine.substr(sizeof("hogspin-check: ") - 1 + stored.strName.size() + 2);
    c.eResult = StartsWith(strRest, "pass") ? EResult::Pass : StartsWith(strRest, "fail") ? EResult::Fail : EResult::Skip;
    if (strRest.size() > 6 && strRest.back() == ')')
    {
        c.strDetails = strRest.substr(6, strRest.size() - 7);
    }
    const std::vector<std::string> vData = Split(stored.strDataLine, ',');
    if (vData.size() == 5)
    {
        c.strMeasurement = vData[3];
        c.strUnits = vData[4];
    }
    return c;
}
