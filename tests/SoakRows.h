// SPDX-License-Identifier: MIT
// Soaks made for the judge's tests: from words, or from curves of the time.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SoakAnalysis.h"
#include "CaseCatalogue.h"
#include "NumberText.h"
#include "SoakLines.h"
#include "SoakParams.h"
#include "LoadVerdicts.h"
#include "SoakVerdicts.h"
#include "SysfsText.h"


inline std::map<std::string, std::string> g_mapEnv;

inline const char* FakeGetEnv(const char* pszName)
{
    const auto it = g_mapEnv.find(pszName);
    return it == g_mapEnv.end() ? nullptr : it->second.c_str();
}

// "NAME=VALUE ..." as the environment.
inline void SetEnv(const std::string& strEnv)
{
    g_mapEnv.clear();
    std::istringstream words(strEnv);
    for (std::string strWord; words >> strWord;)
    {
        g_mapEnv[strWord.substr(0, strWord.find('='))] = strWord.substr(strWord.find('=') + 1);
    }
}

// A soak from words: sensors "kind:name" (temp, power, energy); each sample "ms busy total
// kHz value..." with '-' for what could not be read, samples apart by ';'.
struct SSoak
{
    SCheckParams asked;
    SBoard board;
    SSoakRun run;
};

// A case the catalogue does not list, or lists with other units, is one a report or the LAVA
// definition would not know.
inline void ExpectCatalogued(const std::vector<SCase>& vCases)
{
    for (const SCase& c : vCases)
    {
        const SCaseKind* pKind = FindCaseKind(c.strName);
        ASSERT_NE(pKind, nullptr) << c.strName;
        EXPECT_EQ(c.strUnits, c.strMeasurement.empty() ? "" : pKind->pszUnits) << c.strName;
        EXPECT_TRUE(c.eResult != EResult::Pass || c.strMeasurement.empty() == (*pKind->pszUnits == '\0')) << c.strName;
    }
}

// Every case of the soak, as the check judges it.
inline std::vector<SCase> Judged(const SSoak& soak)
{
    const std::vector<SCase> vCases = JudgeSoak(soak.asked, AnalyseSoak(soak.asked, soak.board, soak.run));
    ExpectCatalogued(vCases);
    return vCases;
}

// "NAME=VALUE ..." as the check reads its parameters, for CPU 1, one thread and SETTLE pszSettle.
inline SCheckParams ParamsFrom(const std::string& strEnv, const char* pszSettle)
{
    SetEnv(strEnv);
    SCheckParams params;
    std::string strWhy;
    EXPECT_TRUE(ParseParams({"1", "1", pszSettle}, FakeGetEnv, &params, &strWhy)) << strWhy;
    return params;
}

inline SSoak MakeSoak(const std::string& strSensors, const std::string& strSamples, const std::string& strEnv,
               const char* pszSettle = "3")
{
    SSoak soak;
    const SCheckParams params = ParamsFrom(strEnv, pszSettle);
    soak.asked = params;
    soak.run.usPlanned = static_cast<tint64>(params.nSamples) * params.usInterval;
    // TOOL_PCT, the test's own: how much of a CPU the tool's pinned threads took ('-' unread).
    const char* pszTool = FakeGetEnv("TOOL_PCT");
    soak.run.tool.bRead = pszTool == nullptr || std::strcmp(pszTool, "-") != 0;
    soak.run.tool.usTime = soak.run.usPlanned / 100 * (pszTool == nullptr || !soak.run.tool.bRead ? 100 : std::atoi(pszTool));
    std::istringstream sensors(strSensors);
    for (std::string strWord; sensors >> strWord;)
    {
        const std::string strKind = strWord.substr(0, strWord.find(':'));
        const ESensorKind eKind = strKind == "temp"    ? ESensorKind::Temp
                                  : strKind == "power"   ? ESensorKind::Power
                                  : strKind == "cooling" ? ESensorKind::Cooling
                                                         : ESensorKind::Energy;
        const std::string strName = strWord.substr(strWord.find(':') + 1);
        soak.board.vSensors.push_back(SSensor{eKind, "class/x/" + strName, strName});
    }
    const size_t nRows = static_cast<size_t>(std::count(strSamples.begin(), strSamples.end(), ';')) + 1;
    EXPECT_TRUE(soak.run.trace.Reserve(nRows, soak.board.vSensors.size()));
    soak.run.trace.nBaseline = params.nBaseline;  // its rows come first
    std::istringstream samples(strSamples);
    for (std::string strRow; std::getline(samples, strRow, ';');)
    {
        std::istringstream row(strRow);
        std::vector<tint64> vll;
        for (std::string strWord; row >> strWord;)
        {
            vll.push_back(strWord == "-" ? kMissing : std::stoll(strWord));
        }
        const size_t i = soak.run.trace.nSamples++;
        EXPECT_EQ(vll.size(), 4 + soak.board.vSensors.size()) << strRow;
        vll.resize(4 + soak.board.vSensors.size(), kMissing);
        soak.run.trace.vllTimeUs[i] = vll[0] * 1000;
        // In ticks of 10 ms, as /proc/stat's are, into µs.
        soak.run.trace.vllBusy[i] = vll[1] == kMissing ? kMissing : vll[1] * 10000;
        soak.run.trace.vllTotal[i] = vll[2] == kMissing ? kMissing : vll[2] * 10000;
        soak.run.trace.vllKHz[i] = vll[3];
        std::copy(vll.begin() + 4, vll.end(), soak.run.trace.vllValues.begin() + static_cast<std::ptrdiff_t>(i * soak.run.trace.nSensors));
    }
    return soak;
}

// The figures a thermal engineer would compute by hand have a table of their own.
inline bool IsThermalFigure(const std::string& strName)
{
    for (const char* psz : {"temp-tau-", "temp-steady-", "thermal-resistance-", "power-idle-", "power-load-", "throttle-",
                            "cooling-", "clock-measured-", "sustainable-power-"})
    {
        if (strName.compare(0, strlen(psz), psz) == 0)
        {
            return true;
        }
    }
    return false;
}

// "name:result:measurement:units" of every case, sorted; cpu-busy with its details.
inline std::vector<std::string> Calls(const std::vector<SCase>& vCases)
{
    std::vector<std::string> vCalls;
    for (const SCase& c : vCases)
    {
        if (IsThermalFigure(c.strName))
        {
            continue;
        }
        const char* const kResults[] = {"pass", "fail", "skip"};
        vCalls.push_back(c.strName + ":" + kResults[static_cast<int>(c.eResult)] + ":" + c.strMeasurement + ":" + c.strUnits +
                         (c.strName == "cpu-busy" ? " (" + c.strDetails + ")" : ""));
    }
    std::sort(vCalls.begin(), vCalls.end());
    return vCalls;
}

const char* const kBusy = "cpu-busy:pass:: (CPU 1 100.0 % busy over 3.00 s, 100.0 % of a CPU the tool's)";

// A soak of nSoak samples dInterval apart from the tool's start, after nBaseline before it;
// each sensor's value and CPU's clock functions of the time, in s (negative in the baseline).
inline SSoak MakeCurves(const std::string& strSensors, size_t nBaseline, size_t nSoak, double dInterval,
                 const std::function<double(size_t, double)>& fnValue, const std::function<double(double)>& fnKHz,
                 size_t nStates = 0)
{
    std::string strRow = "0 0 0 -";
    for (auto n = std::count(strSensors.begin(), strSensors.end(), ':'); n > 0; --n)
    {
        strRow += " -";
    }
    SSoak soak = MakeSoak(strSensors, strRow, "");
    soak.run.cycles.strWhyNot = "no counter here";
    soak.asked.usInterval = static_cast<tint64>(dInterval * 1e6);
    soak.run.usPlanned = static_cast<tint64>(static_cast<double>(nSoak - 1) * dInterval * 1e6);
    soak.run.tool.usTime = soak.run.usPlanned;
    EXPECT_TRUE(soak.run.trace.Reserve(nBaseline + nSoak, soak.board.vSensors.size(), nStates));
    soak.run.trace.nBaseline = nBaseline;
    for (size_t i = 0; i < nBaseline + nSoak; ++i)
    {
        const double dT = (static_cast<double>(i) - static_cast<double>(nBaseline)) * dInterval;
        soak.run.trace.vllTimeUs[i] = std::llround(dT * 1e6);
        // At rest in the baseline, busy through the soak.
        soak.run.trace.vllTotal[i] = static_cast<tint64>(i) * 1000000;
        soak.run.trace.vllBusy[i] = static_cast<tint64>(i < nBaseline ? 0 : i - nBaseline) * 1000000;
        soak.run.trace.vllKHz[i] = std::llround(fnKHz(dT));
        for (size_t k = 0; k < soak.board.vSensors.size(); ++k)
        {
            soak.run.trace.vllValues[i * soak.run.trace.nSensors + k] = std::llround(fnValue(k, dT));
        }
        ++soak.run.trace.nSamples;
    }
    return soak;
}

// A first-order rise from dFrom to dTo (m°C) with time constant dTau, from t = 0.
inline std::function<double(double)> Rise(double dFrom, double dTo, double dTau)
{
    return [=](double t) { return t < 0 ? dFrom : dTo - (dTo - dFrom) * std::exp(-t / dTau); };
}
