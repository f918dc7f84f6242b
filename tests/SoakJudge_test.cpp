// SPDX-License-Identifier: MIT
// Tests of the soak check's judge: tables of parameters, sensor names and synthetic samples.
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

#include "../Apps/CheckTool/OppSweep.h"
#include "../Apps/CheckTool/SoakAnalysis.h"
#include "../Apps/CheckTool/SoakLines.h"
#include "../Apps/CheckTool/SoakParams.h"
#include "../Apps/CheckTool/SoakVerdicts.h"
#include "../Apps/CheckTool/SysfsText.h"

namespace
{

std::map<std::string, std::string> g_mapEnv;

const char* FakeGetEnv(const char* pszName)
{
    const auto it = g_mapEnv.find(pszName);
    return it == g_mapEnv.end() ? nullptr : it->second.c_str();
}

// "NAME=VALUE ..." as the environment.
void SetEnv(const std::string& strEnv)
{
    g_mapEnv.clear();
    std::istringstream words(strEnv);
    for (std::string strWord; words >> strWord;)
    {
        g_mapEnv[strWord.substr(0, strWord.find('='))] = strWord.substr(strWord.find('=') + 1);
    }
}

TEST(SoakParams, EveryBadParameterIsNamedAndGoodOnesAreExact)
{
    const struct
    {
        std::vector<std::string> vArgs;
        const char* pszEnv;
        const char* pszWhy;  // "" when good
    } aCases[] = {
        {{"1", "2", "10"}, "", ""},
        {{"0", "1", "0.5", "build/hogspin"}, "INTERVAL=0.1 STOP_BOUND=2.5 MAX_TEMP=-5.25 MIN_FREQ=1200 MAX_POWER=0.001", ""},
        {{"1", "2"}, "", "usage: hogspin-check [--results FILE] CPU THREADS SETTLE [HOGSPIN]"},
        {{"1", "2", "10", "hogspin", "x"}, "", "usage: hogspin-check [--results FILE] CPU THREADS SETTLE [HOGSPIN]"},
        {{"1", "2", "10"}, "MAX_TEMP=85C", "MAX_TEMP must be a number such as 2 or 0.5, not '85C'"},
        {{"+1", "02", "10"}, "",
         "CPU must be a whole number such as 2, not '+1'; THREADS must be a whole number such as 2, not '02' (no leading zero)"},
        {{"1", "0", "0"}, "INTERVAL=0.0", "THREADS must be at least 1, not '0'; SETTLE must be above 0, not '0'; "
                                          "INTERVAL must be above 0, not '0.0'"},
        {{"1", "1", "1.2345"}, "MIN_FREQ=-5 MAX_POWER=.5", "SETTLE must be a number such as 2 or 0.5, not '1.2345' (at most 3 decimals); "
                                                             "MIN_FREQ must be a number such as 2 or 0.5, not '-5'; "
                                                             "MAX_POWER must be a number such as 2 or 0.5, not '.5'"},
        {{"1", "1", "5."}, "STOP_BOUND=1e3", "SETTLE must be a number such as 2 or 0.5, not '5.'; "
                                             "STOP_BOUND must be a number such as 2 or 0.5, not '1e3'"},
        {{"1", "1", "1000001"}, "", "SETTLE / INTERVAL gives 1000001 samples, more than 1000000"},
        {{"1234567890", "1", "1000000000"}, "", "CPU must be a whole number such as 2, not '1234567890' (at most 9 digits); "
                                                "SETTLE must be a number such as 2 or 0.5, not '1000000000' (at most 9 characters)"},
        {{"1", "1", "1"}, "SUSTAIN_TEMP=hot", "SUSTAIN_TEMP must be a number such as 2 or 0.5, not 'hot'"},
        {{"1", "1", "1"}, "BASELINE=-1 UNTIL_STEADY=yes", "BASELINE must be a number such as 2 or 0.5, not '-1'; "
                                                          "UNTIL_STEADY must be 0 or 1, not 'yes'"},
        {{"1", "1", "1"}, "OPP_SWEEP=yes OPP_HOLD=0", "OPP_SWEEP must be 0 or 1, not 'yes'; OPP_HOLD must be above 0, not '0'"},
        {{"1", "1", "1"}, "OPP_SWEEP=1 OPP_HOLD=3 INTERVAL=1",
         "OPP_HOLD / INTERVAL gives 3 samples at each operating point, not 4 to 100000"},
        {{"1", "1", "1"}, "OPP_HOLD=3 INTERVAL=1", ""},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszEnv);
        SetEnv(c.pszEnv);
        SCheckParams params;
        std::string strWhy;
        EXPECT_EQ(ParseParams(c.vArgs, FakeGetEnv, &params, &strWhy), *c.pszWhy == '\0');
        EXPECT_EQ(strWhy, c.pszWhy);
    }
    // The second row, exactly: limits in m°C, kHz and µW.
    SetEnv("INTERVAL=0.1 STOP_BOUND=2.5 MAX_TEMP=-5.25 MIN_FREQ=1200 MAX_POWER=0.001");
    SCheckParams params;
    std::string strWhy;
    ASSERT_TRUE(ParseParams({"0", "1", "0.5", "build/hogspin"}, FakeGetEnv, &params, &strWhy));
    EXPECT_EQ(params.nSamples, 5u);
    EXPECT_EQ(params.usStopBound, 2500000);
    EXPECT_EQ(params.limMaxTemp.llValue, -5250);
    EXPECT_EQ(params.limMinFreq.llValue, 1200000);
    EXPECT_EQ(params.limMaxPower.llValue, 1000);
    EXPECT_EQ(params.strHogspin, "build/hogspin");
    SetEnv("BASELINE=2 INTERVAL=0.5 UNTIL_STEADY=1 POWER_METER=ina3221-VDD_CPU");
    ASSERT_TRUE(ParseParams({"0", "1", "10"}, FakeGetEnv, &params, &strWhy));
    EXPECT_EQ(params.nBaseline, 4u);
    EXPECT_TRUE(params.bUntilSteady);
    EXPECT_EQ(params.strPowerMeter, "ina3221-VDD_CPU");
}

TEST(SoakNames, CaseNamesHoldNoDotAndNeverRepeat)
{
    const struct
    {
        std::vector<SRawSensor> vRaw;
        std::vector<std::string> vNames;
    } aCases[] = {
        {{{ESensorKind::Temp, "class/thermal/thermal_zone0/temp", "x"},
          {ESensorKind::Temp, "class/thermal/thermal_zone1/temp", "x-2"},
          {ESensorKind::Temp, "class/thermal/thermal_zone2/temp", "x"}},
         {"x", "x-2", "x-2-2"}},
        {{{ESensorKind::Temp, "class/thermal/thermal_zone0/temp", ""},
          {ESensorKind::Temp, "class/thermal/thermal_zone1/temp", "gpu(big)!"},
          {ESensorKind::Temp, "class/thermal/thermal_zone2/temp", "cpu0.thermal/a"},
          {ESensorKind::Temp, "class/thermal/thermal zone3/temp", "spaced"},
          {ESensorKind::Temp, "class/thermal/thermal_zone4/temp", std::string(50, 'a')}},
         {"thermal_zone0", "gpu_big_", "cpu0_thermal_a", std::string(40, 'a')}},
        {{{ESensorKind::Power, "class/hwmon/hwmon0/power1_input", "-VDD_CPU"},
          {ESensorKind::Power, "class/hwmon/hwmon1/power1_input", "ina238-power1"},
          {ESensorKind::Energy, "class/hwmon/hwmon1/energy1_input", "ina238-power1"},
          {ESensorKind::Power, "class/hwmon/hwmon2/power1_input", "ina238-power1"}},
         {"hwmon0-VDD_CPU", "ina238-power1", "ina238-power1", "ina238-power1-2"}},
        {{{ESensorKind::Cooling, "class/thermal/cooling_device0/stats/time_in_state_ms", "Processor"},
          {ESensorKind::Cooling, "class/thermal/cooling_device3/stats/time_in_state_ms", "Processor"},
          {ESensorKind::Cooling, "class/thermal/cooling_device4/stats/time_in_state_ms", ""}},
         {"Processor", "Processor-3", "cooling_device4"}},
    };
    for (const auto& c : aCases)
    {
        std::vector<std::string> vNames;
        for (const SSensor& sensor : NameSensors(c.vRaw))
        {
            vNames.push_back(sensor.strName);
        }
        EXPECT_EQ(vNames, c.vNames);
    }
}

TEST(SoakFigures, AreShownExactly)
{
    const struct
    {
        tint64 ll;
        int nDigits;
        int nPlaces;
        const char* pszShown;
    } aCases[] = {
        {85040, 3, 1, "85.04"}, {50000, 3, 1, "50.0"}, {1200000, 3, 0, "1200"}, {1200500, 3, 0, "1200.5"},
        {2500000, 6, 1, "2.5"}, {-5500, 3, 1, "-5.5"}, {-1, 3, 1, "-0.001"},   {0, 6, 1, "0.0"},
        {INT64_MIN, 3, 0, "-9223372036854775.808"}, {42, 0, 0, "42"},
    };
    for (const auto& c : aCases)
    {
        EXPECT_EQ(ShowFixed(c.ll, c.nDigits, c.nPlaces), c.pszShown);
    }
    // What a sensor file may hold: a newline at its end or none.
    const std::pair<std::string, tint64> aValues[] = {
        {"45000", 45000}, {"45000\n", 45000}, {" -5000 \n", -5000}, {"", kMissing},          {"-", kMissing},
        {"-\n", kMissing}, {"4 5", kMissing},    {"1e3\n", kMissing},  {"45000\n1\n", 45000}, {"1234567890123456789", kMissing},
    };
    for (const auto& value : aValues)
    {
        EXPECT_EQ(ParseSensorValue(value.first.data(), value.first.data() + value.first.size()), value.second) << value.first;
    }
    const std::pair<std::string, tint64> aCooling[] = {
        {"state0\t1200\nstate1\t300\nstate2\t45\n", 345000}, {"state0\t7", 0}, {"", kMissing}, {"state0 x\n", kMissing},
    };
    for (const auto& cooling : aCooling)
    {
        EXPECT_EQ(ParseCoolingTime(cooling.first.data(), cooling.first.data() + cooling.first.size()), cooling.second)
            << cooling.first;
    }
    tint64 allKHz[2], allTime[2];
    const std::string strStates = "1800000 1234\n1400000 56\n";
    EXPECT_EQ(ParseTimeInState(strStates.data(), strStates.data() + strStates.size(), allKHz, allTime, 2), 2u);
    EXPECT_EQ(allKHz[1], 1400000);
    EXPECT_EQ(allTime[1], 560000);
    EXPECT_EQ(ParseTimeInState(strStates.data(), strStates.data() + strStates.size(), allKHz, allTime, 1), 0u);
    // A device tree's cell is 4 bytes, big-endian; a debugfs OPP is named for its rate in Hz.
    EXPECT_EQ(ParseDtCell("\0\0\x02\x12", 4), 530);
    EXPECT_EQ(ParseDtCell("\0\x02\x12", 3), kMissing);
    const std::pair<std::string, tint64> aOpps[] = {
        {"opp:1200000000", 1200000}, {"opp:403200000-3", 403200}, {"opp:", kMissing}, {"opp:12x", kMissing}, {"cpu0", kMissing},
    };
    for (const auto& opp : aOpps)
    {
        EXPECT_EQ(ParseOppDirKHz(opp.first), opp.second) << opp.first;
    }
}

// A soak from words: sensors "kind:name" (temp, power, energy); each sample "ms busy total
// kHz value..." with '-' for what could not be read, samples apart by ';'.
struct SSoak
{
    SSoakSetup setup;
    SSoakTrace trace;
};

SSoak MakeSoak(const std::string& strSensors, const std::string& strSamples, const std::string& strEnv,
               const char* pszSettle = "3")
{
    SSoak soak;
    SetEnv(strEnv);
    SCheckParams params;
    std::string strWhy;
    EXPECT_TRUE(ParseParams({"1", "1", pszSettle}, FakeGetEnv, &params, &strWhy)) << strWhy;
    soak.setup = MakeSetup(params);
    // TOOL_PCT, the test's own: how much of a CPU the tool's pinned threads took ('-' unread).
    const char* pszTool = FakeGetEnv("TOOL_PCT");
    soak.setup.bToolTime = pszTool == nullptr || std::strcmp(pszTool, "-") != 0;
    soak.setup.usToolTime = soak.setup.usAsked / 100 * (pszTool == nullptr || !soak.setup.bToolTime ? 100 : std::atoi(pszTool));
    std::istringstream sensors(strSensors);
    for (std::string strWord; sensors >> strWord;)
    {
        const std::string strKind = strWord.substr(0, strWord.find(':'));
        const ESensorKind eKind = strKind == "temp"    ? ESensorKind::Temp
                                  : strKind == "power"   ? ESensorKind::Power
                                  : strKind == "cooling" ? ESensorKind::Cooling
                                                         : ESensorKind::Energy;
        const std::string strName = strWord.substr(strWord.find(':') + 1);
        soak.setup.vSensors.push_back(SSensor{eKind, "class/x/" + strName, strName});
    }
    const size_t nRows = static_cast<size_t>(std::count(strSamples.begin(), strSamples.end(), ';')) + 1;
    EXPECT_TRUE(soak.trace.Reserve(nRows, soak.setup.vSensors.size()));
    soak.trace.nBaseline = params.nBaseline;  // its rows come first
    std::istringstream samples(strSamples);
    for (std::string strRow; std::getline(samples, strRow, ';');)
    {
        std::istringstream row(strRow);
        std::vector<tint64> vll;
        for (std::string strWord; row >> strWord;)
        {
            vll.push_back(strWord == "-" ? kMissing : std::stoll(strWord));
        }
        const size_t i = soak.trace.nSamples++;
        EXPECT_EQ(vll.size(), 4 + soak.setup.vSensors.size()) << strRow;
        vll.resize(4 + soak.setup.vSensors.size(), kMissing);
        soak.trace.vllTimeUs[i] = vll[0] * 1000;
        // In ticks of 10 ms, as /proc/stat's are, into µs.
        soak.trace.vllBusy[i] = vll[1] == kMissing ? kMissing : vll[1] * 10000;
        soak.trace.vllTotal[i] = vll[2] == kMissing ? kMissing : vll[2] * 10000;
        soak.trace.vllKHz[i] = vll[3];
        std::copy(vll.begin() + 4, vll.end(), soak.trace.vllValues.begin() + static_cast<std::ptrdiff_t>(i * soak.trace.nSensors));
    }
    return soak;
}

// The figures a thermal engineer would compute by hand have a table of their own.
bool IsThermalFigure(const std::string& strName)
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
std::vector<std::string> Calls(const std::vector<SCase>& vCases)
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

TEST(SoakJudge, EveryCaseOfAnOddBoard)
{
    const struct
    {
        const char* pszName;
        const char* pszSensors;
        const char* pszSamples;
        const char* pszEnv;
        std::vector<std::string> vCalls;  // every case the soak gives, cpu-busy with its details
    } aCases[] = {
        {"under limits", "temp:soc-thermal temp:gpu_big_",
         "0 0 0 1200000 40000 35000; 1000 100 100 1200000 50000 38000; 2000 200 200 1200000 50000 38000;"
         "3000 300 300 1200000 50000 38000",
         "MAX_TEMP=85 MIN_FREQ=1000",
         {kBusy, "freq-min-cpu1:pass:1200:MHz", "limit-freq-cpu1:pass::", "limit-temp-gpu_big_:pass::",
          "limit-temp-soc-thermal:pass::", "power-max:skip::", "temp-max-gpu_big_:pass:38.0:C",
          "temp-max-soc-thermal:pass:50.0:C", "temp-rise-gpu_big_:pass:3.0:C", "temp-rise-soc-thermal:pass:10.0:C"}},
        {"over MAX_TEMP and under MIN_FREQ, unnamed zone", "temp:thermal_zone0",
         "0 0 0 1200000 40000; 1000 100 100 800000 90000; 2000 200 200 800000 90000; 3000 300 300 1200000 90000",
         "MAX_TEMP=85 MIN_FREQ=1000",
         {kBusy, "freq-min-cpu1:pass:800:MHz", "limit-freq-cpu1:fail::", "limit-temp-thermal_zone0:fail::",
          "power-max:skip::", "temp-max-thermal_zone0:pass:90.0:C", "temp-rise-thermal_zone0:pass:50.0:C"}},
        {"85040 m°C at MAX_TEMP=85, and a zone never read", "temp:soc temp:wifi",
         "0 0 0 - 40000 -; 1000 100 100 - 85040 -; 2000 200 200 - 85040 -; 3000 300 300 - 85040 -", "MAX_TEMP=85",
         {kBusy, "freq-min-cpu1:skip::", "limit-temp-soc:fail::", "power-max:skip::", "temp-max-soc:pass:85.04:C",
          "temp-max-wifi:skip::", "temp-rise-soc:pass:45.04:C"}},
        {"meters, one over MAX_POWER; an energy counter", "temp:soc power:ina3221-VDD_CPU power:ina238-power1 energy:ina238-energy1",
         "0 0 0 1200000 40000 2500000 3000000 100000000; 1000 100 100 1200000 41000 2500000 3000000 100500000;"
         "2000 200 200 1200000 41000 2500000 3000000 101000000; 3000 300 300 1200000 41000 2500000 3000000 101500000",
         "MAX_POWER=2.6",
         {kBusy, "energy-ina238-energy1:pass:1.5:J", "freq-min-cpu1:pass:1200:MHz", "limit-power-ina238-power1:fail::",
          "limit-power-ina3221-VDD_CPU:pass::", "power-max-ina238-power1:pass:3.0:W", "power-max-ina3221-VDD_CPU:pass:2.5:W",
          "power-mean-ina238-power1:pass:3.0:W", "power-mean-ina3221-VDD_CPU:pass:2.5:W", "temp-max-soc:pass:41.0:C",
          "temp-rise-soc:pass:1.0:C"}},
        {"a zone and a meter read at rest and not under load, beside ones that were", "temp:cpu temp:gpu power:a power:b",
         "-1000 0 0 - 45000 90000 1000000 1000000; 0 0 0 - 45000 - 1000000 -; 1000 100 100 - 45000 - 1000000 -;"
         "2000 200 200 - 45000 - 1000000 -; 3000 300 300 - 45000 - 1000000 -",
         "BASELINE=1 MAX_TEMP=85 MAX_POWER=2",
         {kBusy, "freq-min-cpu1:skip::", "limit-power-a:pass::", "limit-power-b:fail::", "limit-temp-cpu:pass::",
          "limit-temp-gpu:fail::", "power-max-a:pass:1.0:W", "power-max-b:skip::", "power-mean-a:pass:1.0:W",
          "temp-max-cpu:pass:45.0:C", "temp-max-gpu:skip::", "temp-rise-cpu:pass:0.0:C"}},
        {"an energy counter that went back, and grew past its start again", "energy:e",
         "0 0 0 - 100; 1000 100 100 - 200; 2000 200 200 - 50; 3000 300 300 - 300", "",
         {kBusy, "energy-e:skip::", "freq-min-cpu1:skip::", "power-max:skip::", "temp-max:skip::"}},
        {"nothing to read", "", "0 0 0 -; 1000 100 100 -; 2000 200 200 -; 3000 300 300 -", "",
         {kBusy, "freq-min-cpu1:skip::", "power-max:skip::", "temp-max:skip::"}},
        {"nothing to read, every limit asked", "temp:soc power:p", "0 0 0 - - -; 1000 100 100 - - -; 2000 200 200 - - -; 3000 300 300 - - -",
         "MAX_TEMP=85 MIN_FREQ=1000 MAX_POWER=3",
         {kBusy, "freq-min-cpu1:skip::", "limit-freq-cpu1:fail::", "limit-power:fail::", "limit-temp:fail::",
          "power-max-p:skip::", "power-max:skip::", "temp-max-soc:skip::", "temp-max:skip::"}},
        {"a soak cut short, a CPU that idled", "", "0 0 0 -; 1000 50 100 -", "",
         {"cpu-busy:fail:: (the soak lasted 1.00 s of the 3 s asked)", "freq-min-cpu1:skip::", "power-max:skip::",
          "temp-max:skip::"}},
        {"half busy", "", "0 0 0 -; 1000 50 100 -; 2000 100 200 -; 3000 150 300 -", "",
         {"cpu-busy:fail:: (CPU 1 50.0 % busy over 3.00 s, 100.0 % of a CPU the tool's)", "freq-min-cpu1:skip::",
          "power-max:skip::", "temp-max:skip::"}},
        {"busy, but not with the tool's load", "", "0 0 0 -; 1000 100 100 -; 2000 200 200 -; 3000 300 300 -", "TOOL_PCT=9",
         {"cpu-busy:fail:: (CPU 1 100.0 % busy over 3.00 s, 9.0 % of a CPU the tool's)", "freq-min-cpu1:skip::",
          "power-max:skip::", "temp-max:skip::"}},
        {"busy, the tool sharing CPU K with other work", "", "0 0 0 -; 1000 100 100 -; 2000 200 200 -; 3000 300 300 -",
         "TOOL_PCT=30",
         {"cpu-busy:pass:: (CPU 1 100.0 % busy over 3.00 s, 30.0 % of a CPU the tool's)", "freq-min-cpu1:skip::",
          "power-max:skip::", "temp-max:skip::"}},
        {"busy, the tool's share unread", "", "0 0 0 -; 1000 100 100 -; 2000 200 200 -; 3000 300 300 -", "TOOL_PCT=-",
         {"cpu-busy:fail:: (CPU 1 100.0 % busy over 3.00 s, but how much of it the tool's could not be read)",
          "freq-min-cpu1:skip::", "power-max:skip::", "temp-max:skip::"}},
        {"no /proc/stat line", "", "0 - - -; 1000 - - -; 2000 - - -; 3000 - - -", "",
         {"cpu-busy:fail:: (CPU 1 has no /proc/stat line, or no time passed in 3.00 s)", "freq-min-cpu1:skip::",
          "power-max:skip::", "temp-max:skip::"}},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        const SSoak soak = MakeSoak(c.pszSensors, c.pszSamples, c.pszEnv);
        std::vector<std::string> vExpected = c.vCalls;
        std::sort(vExpected.begin(), vExpected.end());
        EXPECT_EQ(Calls(JudgeSoak(soak.setup, AnalyseSoak(soak.setup, soak.trace))), vExpected);
    }
}

TEST(SoakJudge, DetailsSayWhatWasMeasuredAndWhatWasNot)
{
    const SSoak soak = MakeSoak("temp:soc temp:wifi energy:e", "0 0 0 - 40000 - 5; 1000 100 100 - - - 6; 2000 200 200 - 85040 - 2;"
                                "3000 300 300 - 85040 - 9", "MAX_TEMP=85");
    std::map<std::string, std::string> mapDetails;
    for (const SCase& c : JudgeSoak(soak.setup, AnalyseSoak(soak.setup, soak.trace)))
    {
        mapDetails[c.strName] = c.strDetails;
    }
    EXPECT_EQ(mapDetails["temp-max-soc"], "85.04 C, the highest of the soak; read at 3 of 4 samples");
    EXPECT_EQ(mapDetails["limit-temp-soc"],
              "85.04 C, the highest of the soak; read at 3 of 4 samples; limit 85 C: the samples not read cannot be judged");
    EXPECT_EQ(mapDetails["temp-max-wifi"], "class/x/wifi could not be read at any of 4 samples");
    EXPECT_EQ(mapDetails["energy-e"], "the counter went back 2.00 s into the soak, from 6 to 2 uJ");
}

TEST(SoakTrace, LinesHoldWhatWasReadAndLeaveTheRestEmpty)
{
    const SSoak soak = MakeSoak("temp:soc power:p energy:e", "0 10 20 1200000 43064 1868943 5; 500 20 30 - - 2416661 6", "");
    char acLine[256];
    std::string strLines;
    for (size_t i = 0; i < 2; ++i)
    {
        strLines += std::string(acLine, FormatTraceLine(soak.setup, soak.trace, i, acLine, sizeof(acLine)));
    }
    EXPECT_EQ(TraceHeader(soak.setup), "hogspin-trace,t_s,cpu1_busy_pct,cpu1_mhz,soc_c,p_w\n");
    EXPECT_EQ(strLines, "hogspin-trace,0.0,,1200,43.064,1.868943\nhogspin-trace,0.5,100.0,,,2.416661\n");
    EXPECT_EQ(FormatTraceLine(soak.setup, soak.trace, 0, acLine, 20), 0u);
    EXPECT_EQ(BoardLine("Pine64, Rock\tPro", "6.1.0", "b-3", "board-\xc3\xa4 100%"),
              "hogspin-board,model=Pine64%2C Rock%09Pro,kernel=6.1.0,host=b-3,board=board-%C3%A4 100%25\n");
    // The data line of each kind of case: a measurement, a verdict, a skip, a throttle that never came.
    const std::pair<SCase, const char*> aData[] = {
        {{"temp-max-soc", EResult::Pass, "50.0 C, the highest", "50.0", "C"}, "hogspin-case,temp-max-soc,pass,50.0,C\n"},
        {{"limit-temp-soc", EResult::Fail, "95.0 C; limit 85 C", "", ""}, "hogspin-case,limit-temp-soc,fail,,\n"},
        {{"temp-tau-soc", EResult::Skip, "too few samples", "", ""}, "hogspin-case,temp-tau-soc,skip,,\n"},
        {{"throttle-onset-cpu1", EResult::Pass, "never, CPU 1 ran at", "never", "s"}, "hogspin-case,throttle-onset-cpu1,pass,never,s\n"},
    };
    for (const auto& data : aData)
    {
        EXPECT_EQ(DataLine(data.first), data.second);
    }
    EXPECT_EQ(ResultLine(aData[3].first), "throttle-onset-cpu1 pass\n");
}

// A soak of nSoak samples dInterval apart from the tool's start, after nBaseline before it;
// each sensor's value and CPU's clock functions of the time, in s (negative in the baseline).
SSoak MakeCurves(const std::string& strSensors, size_t nBaseline, size_t nSoak, double dInterval,
                 const std::function<double(size_t, double)>& fnValue, const std::function<double(double)>& fnKHz,
                 size_t nStates = 0)
{
    std::string strRow = "0 0 0 -";
    for (auto n = std::count(strSensors.begin(), strSensors.end(), ':'); n > 0; --n)
    {
        strRow += " -";
    }
    SSoak soak = MakeSoak(strSensors, strRow, "");
    soak.setup.strNoCycles = "no counter here";
    soak.setup.usInterval = static_cast<tint64>(dInterval * 1e6);
    soak.setup.usAsked = static_cast<tint64>(static_cast<double>(nSoak - 1) * dInterval * 1e6);
    soak.setup.usToolTime = soak.setup.usAsked;
    EXPECT_TRUE(soak.trace.Reserve(nBaseline + nSoak, soak.setup.vSensors.size(), nStates));
    soak.trace.nBaseline = nBaseline;
    for (size_t i = 0; i < nBaseline + nSoak; ++i)
    {
        const double dT = (static_cast<double>(i) - static_cast<double>(nBaseline)) * dInterval;
        soak.trace.vllTimeUs[i] = std::llround(dT * 1e6);
        // At rest in the baseline, busy through the soak.
        soak.trace.vllTotal[i] = static_cast<tint64>(i) * 1000000;
        soak.trace.vllBusy[i] = static_cast<tint64>(i < nBaseline ? 0 : i - nBaseline) * 1000000;
        soak.trace.vllKHz[i] = std::llround(fnKHz(dT));
        for (size_t k = 0; k < soak.setup.vSensors.size(); ++k)
        {
            soak.trace.vllValues[i * soak.trace.nSensors + k] = std::llround(fnValue(k, dT));
        }
        ++soak.trace.nSamples;
    }
    return soak;
}

// A first-order rise from dFrom to dTo (m°C) with time constant dTau, from t = 0.
std::function<double(double)> Rise(double dFrom, double dTo, double dTau)
{
    return [=](double t) { return t < 0 ? dFrom : dTo - (dTo - dFrom) * std::exp(-t / dTau); };
}

TEST(SoakJudge, ThermalFiguresFromOneSoak)
{
    const auto flat = [](double) { return 1200000.0; };
    const auto noise = [](double t) { return 80 * std::sin(7.3 * t); };  // ±0.08 C, the same every run
    const struct
    {
        const char* pszName;
        std::function<SSoak()> fnSoak;
        std::vector<std::string> vExpected;  // "case:result:figure±tolerance:details-fragment"; figure may be "-"
    } aCases[] = {
        {"a first-order rise over 5 τ, a little noise",
         [&] { return MakeCurves("temp:soc", 0, 101, 1, [&](size_t, double t) { return Rise(40000, 70000, 20)(t) + noise(t); }, flat); },
         {"temp-tau-soc:pass:20±0.6:it settled", "temp-steady-soc:pass:70±0.2:from 40.", "thermal-resistance-soc:skip:-:needs a BASELINE",
          "throttle-onset-cpu1:pass:never:never", "throttle-time-cpu1:pass:0±0:of 100.00 s", "clock-measured-cpu1:skip:-:no counter here",
          "temp-tau-fast-soc:skip:-:one pole describes the rise"}},
        {"1.5 τ: a projection",
         [&] { return MakeCurves("temp:soc", 0, 31, 1, [&](size_t, double t) { return Rise(40000, 70000, 20)(t) + noise(t); }, flat); },
         {"temp-tau-soc:pass:20±1.5:T∞ is a projection", "temp-steady-soc:pass:70±1.5:the soak lasted 1.5 τ, under 3"}},
        {"flat", [&] { return MakeCurves("temp:soc", 0, 31, 1, [&](size_t, double t) { return 45000 + noise(t); }, flat); },
         {"temp-tau-soc:skip:-:it rose only 0.", "temp-steady-soc:skip:-:too little to fit"}},
        {"throttled at 10 s: bent, and the onset from the samples",
         [&] {
             return MakeCurves("temp:soc", 0, 31, 1,
                               [&](size_t, double t) { return t <= 10 ? Rise(40000, 85000, 5)(t) : 74000 + 6000 * std::exp(-(t - 10)); },
                               [](double t) { return t < 10 ? 1800000.0 : 1400000.0; });
         },
         {"temp-tau-soc:pass:5±0.2:before the throttle onset at 10.00 s: T∞, where it would have settled, is a projection",
          "temp-steady-soc:pass:85±0.5:had nothing bent it", "throttle-onset-cpu1:pass:10±0:when a sample first saw it",
          "throttle-time-cpu1:pass:20±0:31 samples of scaling_cur_freq"}},
        {"rose within a sample", [&] { return MakeCurves("temp:soc", 0, 31, 1, [](size_t, double t) { return t < 0.5 ? 40000.0 : 60000.0; }, flat); },
         {"temp-tau-soc:skip:-:shorter than INTERVAL"}},
        {"τ far beyond the soak", [&] { return MakeCurves("temp:soc", 0, 31, 1, [&](size_t, double t) { return Rise(40000, 90000, 300)(t); }, flat); },
         {"temp-tau-soc:skip:-:soak longer"}},
        {"a baseline with idle and load power: K/W exact",
         [&] {
             return MakeCurves("temp:soc power:ina", 10, 61, 1,
                               [&](size_t k, double t) { return k == 0 ? Rise(40000, 70000, 10)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
         },
         {"temp-rise-soc:pass:29.9±0.1:above its baseline mean of 40.0 C", "power-idle-ina:pass:0.5±0:before the load, CPU 1 0.0 % busy",
          "power-load-ina:pass:2±0:what the load added", "thermal-resistance-soc:pass:15±0:(T∞ 70.00 C − idle 40.0 C) / (load 2.5 W, its median, − idle 0.5 W) on ina"}},
        {"time_in_state sees what the samples miss; a cooling device; the cycles",
         [&] {
             SSoak soak = MakeCurves("cooling:fan", 0, 11, 1, [](size_t, double t) { return t < 7 ? 0 : 1000000 * (t - 6.5); }, flat, 2);
             soak.trace.vllStateKHz = {1800000, 1400000};
             for (size_t i = 0; i < 11; ++i)
             {
                 soak.trace.vllStateTime[2 * i] = 1000000 * static_cast<tint64>(i) - (i >= 8 ? 300000 : 0);
                 soak.trace.vllStateTime[2 * i + 1] = i >= 8 ? 300000 : 0;
             }
             soak.setup.bCycles = true;
             soak.setup.qwCycles = 19400000000;  // 1940 MHz over the 10 s busy
             return soak;
         },
         {"throttle-onset-cpu1:pass:7.7±0:0.30 s below it in the sample from 7.00 to 8.00 s (cpufreq's time_in_state",
          "throttle-time-cpu1:pass:0.3±0:below 1800 MHz", "cooling-fan:pass:3.5±0:above state 0, of 10.00 s",
          "clock-measured-cpu1:pass:1940±0:over the 10.00 s CPU 1 was busy; cpufreq's mean claim 1200 MHz"}},
        {"time_in_state and a cooling device that went back",
         [&] {
             SSoak soak = MakeCurves("cooling:fan", 0, 11, 1, [](size_t, double t) { return t < 5 ? 1000000 * t : 0; }, flat, 1);
             soak.trace.vllStateKHz = {1800000};
             for (size_t i = 0; i < 11; ++i)
             {
                 soak.trace.vllStateTime[i] = i == 4 ? 0 : 1000000 * static_cast<tint64>(i);
             }
             return soak;
         },
         {"throttle-onset-cpu1:pass:never:a change shorter than INTERVAL may be missed; cpufreq's "
          "time_in_state went back 4.00 s into the soak", "throttle-time-cpu1:pass:0±0:went back",
          "cooling-fan:skip:-:the counter went back 5.00 s into the soak, from 4000 to 0 ms"}},
        {"a die on a slow heatsink: one time constant fits it closely, and is wrong",
         [&] {
             return MakeCurves("temp:soc", 0, 41, 1, [&](size_t, double t) { return Rise(40000, 55000, 5)(t) + Rise(0, 25000, 300)(t); }, flat);
         },
         {"temp-tau-soc:skip:-:soak longer", "temp-steady-soc:skip:-:soak longer"}},
        {"one glitch, and a noisy sensor, on a healthy rise",
         [&] {
             return MakeCurves("temp:soc temp:gpu", 0, 121, 1,
                               [&](size_t k, double t) {
                                   return k == 0 ? Rise(40000, 60000, 20)(t) + (t == 100 ? 4000 : 0)
                                                 : Rise(40000, 60000, 20)(t) + 1400 * std::sin(37.1 * t);
                               },
                               flat);
         },
         {"temp-tau-soc:pass:20±0.5:it settled", "temp-tau-gpu:pass:20±3:it settled", "temp-steady-gpu:pass:60±1:"}},
        {"a fan that ran from the start bends nothing",
         [&] {
             return MakeCurves("temp:soc cooling:fan", 0, 61, 1,
                               [&](size_t k, double t) { return k == 0 ? Rise(40000, 60000, 10)(t) : 1000000 * (t + 60); }, flat);
         },
         {"temp-tau-soc:pass:10±0.2:it settled", "cooling-fan:pass:60±0:above state 0"}},
        {"a clock that time_in_state saw and no sample did",
         [&] {
             SSoak soak = MakeCurves("", 0, 61, 1, [](size_t, double) { return 0.0; }, flat, 2);
             soak.trace.vllStateKHz = {1200000, 600000};
             for (size_t i = 0; i < 61; ++i)
             {
                 soak.trace.vllStateTime[2 * i] = 970000 * static_cast<tint64>(i);  // 30 ms a second at 600 MHz
                 soak.trace.vllStateTime[2 * i + 1] = 30000 * static_cast<tint64>(i);
             }
             SetEnv("MIN_FREQ=1000");
             SCheckParams params;
             std::string strWhy;
             EXPECT_TRUE(ParseParams({"1", "1", "60"}, FakeGetEnv, &params, &strWhy));
             soak.setup.limMinFreq = params.limMinFreq;
             return soak;
         },
         {"freq-min-cpu1:pass:600±0:(cpufreq's time_in_state)", "limit-freq-cpu1:fail:-:limit 1000 MHz",
          "throttle-time-cpu1:pass:1.8±0:below 1200 MHz"}},
        {"a baseline that was not at rest",
         [&] {
             SSoak soak = MakeCurves("temp:soc power:ina", 10, 61, 1,
                                     [&](size_t k, double t) { return k == 0 ? Rise(40000, 70000, 10)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
             std::copy(soak.trace.vllTotal.begin(), soak.trace.vllTotal.begin() + 10, soak.trace.vllBusy.begin());
             return soak;
         },
         {"thermal-resistance-soc:skip:-:the baseline was not at rest, CPU 1 100.0 % busy in it"}},
        {"a baseline not quite at rest",
         [&] {
             SSoak soak = MakeCurves("temp:soc power:ina", 10, 61, 1,
                                     [&](size_t k, double t) { return k == 0 ? Rise(40000, 70000, 10)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
             for (size_t i = 0; i < 10; ++i)
             {
                 soak.trace.vllBusy[i] = 300000 * static_cast<tint64>(i);
             }
             return soak;
         },
         {"thermal-resistance-soc:pass:15±0:the baseline was not quite at rest, CPU 1 30.0 % busy in it"}},
        {"two meters and none named",
         [&] { return MakeCurves("temp:soc power:a power:b", 10, 61, 1, [&](size_t k, double t) { return k == 0 ? Rise(40000, 70000, 10)(t) : 1e6 + t; }, flat); },
         {"thermal-resistance-soc:skip:-:several power meters (a, b): POWER_METER names which"}},
        {"10 K/W over an idle 0.5 W at 40 C, passive trip points at 60 and 70 C: 3.5 W sustained",
         [&] {
             SSoak soak = MakeCurves("temp:soc power:ina", 10, 61, 1,
                                     [&](size_t k, double t) { return k == 0 ? Rise(40000, 60000, 5)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
             soak.setup.vSensors[0].vllPassiveTrips = {60000, 70000};
             return soak;
         },
         {"sustainable-power-soc:pass:3500±1:settled at 70.0 C (its highest passive trip point): idle 0.5 W at 40.0 C, and 10.00 K/W "
          "above it; k_po 350.0 and k_pu 700.0 mW/C"}},
        {"the same at SUSTAIN_TEMP=65, and a zone with no target",
         [&] {
             SSoak soak = MakeCurves("temp:soc temp:gpu power:ina", 10, 61, 1,
                                     [&](size_t k, double t) { return k < 2 ? Rise(40000, 60000, 5)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
             soak.setup.vSensors[0].vllPassiveTrips = {70000};
             SetEnv("SUSTAIN_TEMP=65");
             SCheckParams params;
             std::string strWhy;
             EXPECT_TRUE(ParseParams({"1", "1", "60"}, FakeGetEnv, &params, &strWhy));
             soak.setup.limSustainTemp = params.limSustainTemp;
             soak.setup.vSensors[1].vllPassiveTrips.clear();
             return soak;
         },
         {"sustainable-power-soc:pass:3000±1:(SUSTAIN_TEMP): idle 0.5 W at 40.0 C, and 10.00 K/W above it; k_po 42.9 and k_pu 85.7 "
          "mW/C, as the power allocator derives them over its passive trip points, 0.0 to 70.0 C",
          "sustainable-power-gpu:pass:3000±1:no passive trip point to derive"}},
        {"no target at all",
         [&] {
             return MakeCurves("temp:soc power:ina", 10, 61, 1,
                               [&](size_t k, double t) { return k == 0 ? Rise(40000, 60000, 5)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
         },
         {"sustainable-power-soc:skip:-:no SUSTAIN_TEMP, and no passive trip point under class/x"}},
        // Real boards' clocks and dies.
        {"a governor's ramp from 600 MHz as the load starts, then a steady clock",
         [&] { return MakeCurves("temp:soc", 0, 61, 1, [&](size_t, double t) { return Rise(40000, 70000, 10)(t); }, [](double t) { return t < 0.5 ? 600000.0 : 1800000.0; }); },
         {"throttle-onset-cpu1:pass:never:its governor's ramp from 600 MHz is no throttling", "throttle-time-cpu1:pass:0±0:",
          "temp-tau-soc:pass:10±0.2:it settled", "freq-min-cpu1:pass:1800±0:its ramp from 600 MHz, the governor's, left out"}},
        {"a clock its activity counters put a few kHz either side of 1500.37 MHz",
         [&] { return MakeCurves("temp:soc", 0, 61, 1, [&](size_t, double t) { return Rise(40000, 70000, 10)(t); }, [](double t) { return std::llround(t) % 2 == 0 ? 1500346.0 : 1500398.0; }); },
         {"throttle-onset-cpu1:pass:never:", "throttle-time-cpu1:pass:0±0:", "temp-tau-soc:pass:10±0.2:it settled"}},
        {"a cap part-way, which scaling_max_freq and CPU 1's cooling device say too",
         [&] {
             SSoak soak = MakeCurves("temp:soc cooling:cpufreq-cpu1", 0, 61, 1,
                                     [&](size_t k, double t) { return k == 0 ? Rise(40000, 80000, 10)(t) : t < 19.5 ? 0 : 1e6 * (t - 19.5); },
                                     [](double t) { return t < 20 ? 1800000.0 : 1400000.0; });
             soak.setup.vSensors[1].bOfCPU = true;
             for (size_t i = 0; i < soak.trace.nSamples; ++i)
             {
                 soak.trace.vllMaxKHz[i] = soak.trace.vllTimeUs[i] < 20000000 ? 1800000 : 1400000;
             }
             return soak;
         },
         {"throttle-onset-cpu1:pass:19.5±0:found by the kernel: cooling device cpufreq-cpu1 above state 0 from 19.50 s; scaling_max_freq",
          "throttle-time-cpu1:pass:40±0:below 1800 MHz", "temp-tau-soc:pass:10±0.3:before the throttle onset at 19.50 s"}},
        {"two poles: a die that jumps 4 C with τ 0.5 s on a board whose pole is 20 times slower",
         [&] {
             return MakeCurves("temp:soc", 0, 601, 0.1, [&](size_t, double t) { return Rise(40000, 44000, 0.5)(t) + Rise(0, 20000, 10)(t) + noise(t) / 4; }, flat);
         },
         {"temp-tau-soc:pass:10±0.3:the slow pole of a two-pole fit", "temp-tau-fast-soc:pass:0.5±0.05:the fast pole, 17 % of the rise",
          "temp-steady-soc:pass:64±0.2:the soak lasted 6.0 τ of the slow pole: it settled"}},
        {"two poles, the soak cut at 1.5 τ of the slow one",
         [&] {
             return MakeCurves("temp:soc", 0, 151, 0.1, [&](size_t, double t) { return Rise(40000, 44000, 0.5)(t) + Rise(0, 20000, 10)(t) + noise(t); }, flat);
         },
         {"temp-tau-soc:pass:10±2:the slow pole of a two-pole fit", "temp-steady-soc:pass:64±2:under 3: T∞ is a projection"}},
        {"a vendor kernel that writes whole degrees, under MAX_TEMP=40",
         [&] {
             // One reading in range, a fault code read as 65.535 C, vouches for none of the rest.
             SSoak soak = MakeCurves("temp:soc", 0, 31, 1, [](size_t, double t) { return t < 5 ? 41.0 : t == 10 ? 65535.0 : 43.0; }, flat);
             SetEnv("MAX_TEMP=40");
             SCheckParams params;
             std::string strWhy;
             EXPECT_TRUE(ParseParams({"1", "1", "30"}, FakeGetEnv, &params, &strWhy));
             soak.setup.limMaxTemp = params.limMaxTemp;
             return soak;
         },
         {"temp-max-soc:skip:-:its readings cannot be judged", "temp-rise-soc:skip:-:they ran from 41 to 65535", "limit-temp-soc:fail:-:the reading cannot be judged",
          "temp-tau-soc:skip:-:its readings cannot be judged"}},
        {"a zone that stays put, a hair lower at the end",
         [&] { return MakeCurves("temp:soc", 0, 31, 1, [](size_t, double t) { return 45000 - t / 10; }, flat); },
         {"temp-tau-soc:skip:-:it rose only 0.00 C"}},
        {"no cpufreq at all",
         [&] {
             SSoak soak = MakeCurves("", 0, 11, 1, [](size_t, double) { return 0.0; }, flat);
             std::fill(soak.trace.vllKHz.begin(), soak.trace.vllKHz.end(), kMissing);
             soak.setup.strStatesWhy = soak.setup.strCurFreqWhy = "absent";
             return soak;
         },
         {"throttle-onset-cpu1:skip:-:cpufreq/stats/time_in_state is absent, and cpufreq/scaling_cur_freq is absent",
          "freq-min-cpu1:skip:-:scaling_cur_freq is absent"}},
        {"time_in_state read at every sample, never advancing, and no clock",
         [&] {
             SSoak soak = MakeCurves("", 0, 11, 1, [](size_t, double) { return 0.0; }, flat, 1);
             std::fill(soak.trace.vllKHz.begin(), soak.trace.vllKHz.end(), kMissing);
             soak.trace.vllStateKHz = {1800000};
             std::fill(soak.trace.vllStateTime.begin(), soak.trace.vllStateTime.end(), 5000000);
             return soak;
         },
         {"throttle-time-cpu1:skip:-:time_in_state was read at every sample but never advanced"}},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        const SSoak soak = c.fnSoak();
        std::map<std::string, SCase> mapCases;
        for (const SCase& got : JudgeSoak(soak.setup, AnalyseSoak(soak.setup, soak.trace)))
        {
            mapCases.emplace(got.strName, got);
        }
        for (const std::string& strWant : c.vExpected)
        {
            std::istringstream fields(strWant);
            std::string strName, strResult, strFigure, strFragment;
            std::getline(fields, strName, ':');
            std::getline(fields, strResult, ':');
            std::getline(fields, strFigure, ':');
            std::getline(fields, strFragment);
            ASSERT_EQ(mapCases.count(strName), 1u) << strName;
            const SCase& got = mapCases[strName];
            const char* const kResults[] = {"pass", "fail", "skip"};
            EXPECT_EQ(kResults[static_cast<int>(got.eResult)], strResult) << strName << ": " << got.strDetails;
            EXPECT_NE(got.strDetails.find(strFragment), std::string::npos) << strName << ": " << got.strDetails;
            if (strFigure == "-" || strFigure == "never")
            {
                EXPECT_EQ(got.strMeasurement, strFigure == "-" ? "" : strFigure) << strName;
                continue;
            }
            const double dWant = std::stod(strFigure.substr(0, strFigure.find("±")));
            const double dTolerance = std::stod(strFigure.substr(strFigure.find("±") + strlen("±")));
            EXPECT_NEAR(std::stod(got.strMeasurement), dWant, dTolerance) << strName << ": " << got.strDetails;
        }
    }
}

// UNTIL_STEADY's looks at a growing soak, as the check takes them: never steady before 3 τ of
// the slowest pole, and steady once the model has held.
TEST(SoakJudge, SteadyOnlyOnceTheSlowPoleIsSeen)
{
    const auto flat = [](double) { return 1800000.0; };
    const auto noise = [](double t) { return 30 * std::sin(7.3 * t); };
    const struct
    {
        const char* pszName;
        SSoak soak;
        double dNotBefore;  // s; HUGE_VAL: never steady
    } aCases[] = {
        {"a die on a board of τ 10 s, 240 s of it: not before three minutes",
         MakeCurves("temp:soc", 0, 481, 0.5, [&](size_t, double t) { return Rise(40000, 44000, 0.5)(t) + Rise(0, 20000, 10)(t) + noise(t); }, flat),
         180},
        {"the same cut at 15 s, 1.5 τ", MakeCurves("temp:soc", 0, 151, 0.1, [&](size_t, double t) { return Rise(40000, 44000, 0.5)(t) + Rise(0, 20000, 10)(t) + noise(t); }, flat),
         HUGE_VAL},
        {"a die jump on a board of τ 93 s, 22 s in",
         MakeCurves("temp:soc", 0, 221, 0.1, [&](size_t, double t) { return Rise(40000, 44000, 0.2)(t) + Rise(0, 16000, 93)(t) + noise(t); }, flat),
         HUGE_VAL},
        {"one pole of 5 s, 240 s of it", MakeCurves("temp:soc", 0, 241, 1, [&](size_t, double t) { return Rise(40000, 60000, 5)(t) + noise(t); }, flat), 180},
        // A die of 15 C on a board of 3 C and τ 600 s, read in whole degrees: the board's pole
        // hides in the sensor's steps.
        {"a slow board read in whole degrees", MakeCurves("temp:soc", 0, 241, 1, [&](size_t, double t) {
             return 1000 * std::floor((Rise(40000, 55000, 3)(t) + Rise(0, 3000, 600)(t)) / 1000); }, flat), HUGE_VAL},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        SSteadyWatch watch;
        double dSteadyAt = HUGE_VAL;
        for (size_t k = 10; k < c.soak.trace.nSamples && dSteadyAt == HUGE_VAL; k += std::max<size_t>(1, k / 20))
        {
            SSoakTrace trace = c.soak.trace;
            trace.nSamples = k + 1;
            std::string strWhy;
            dSteadyAt = SoakIsSteady(c.soak.setup, AnalyseSoak(c.soak.setup, trace), &watch, &strWhy)
                            ? static_cast<double>(trace.vllTimeUs[k]) / 1e6
                            : HUGE_VAL;
        }
        EXPECT_GE(dSteadyAt, c.dNotBefore);
        EXPECT_EQ(dSteadyAt == HUGE_VAL, c.dNotBefore == HUGE_VAL) << dSteadyAt;
    }
}

TEST(SoakJudge, SummaryWorkersAndStop)
{
    EXPECT_EQ(JudgeSummary("hogspin 1, count=2, ret=1", 1, 2, "0-1").eResult, EResult::Pass);
    EXPECT_EQ(JudgeSummary("hogspin 7, count=2, ret=0", 7, 2, "0-3").strDetails, "hogspin 7, count=2, ret=0; CPUs online: 0-3");
    const std::vector<SWorker> vTwo = {{"1", "1"}, {"1", "0"}};
    EXPECT_EQ(JudgePinned(vTwo, 1, 2).strDetails, "1 of 2 workers, 2 asked, on CPU 1");
    EXPECT_EQ(JudgePinned({{"1", "1"}, {"1", "1"}}, 1, 2).eResult, EResult::Pass);
    EXPECT_EQ(JudgePinned({{"1", "1"}, {"1", "1"}}, 1, 1).eResult, EResult::Fail);
    const struct
    {
        SStop stop;
        EResult eResult;
        const char* pszDetails;
    } aStops[] = {
        {{true, false, 0, "hogspin 1, Exit!", "5"}, EResult::Pass, "status 0, last line: hogspin 1, Exit!"},
        {{true, true, 137, "hogspin 1, count=1, ret=1", "2.5"}, EResult::Fail,
         "still running 2.5 s after SIGINT: killed, last line: hogspin 1, count=1, ret=1"},
        {{false, false, 0, "hogspin 1, Exit!", "5"}, EResult::Fail,
         "it had ended before SIGINT, with status 0, last line: hogspin 1, Exit!"},
        {{true, false, 0, "hogspin 1, Exit!x", "5"}, EResult::Fail, "status 0, last line: hogspin 1, Exit!x"},
        {{true, false, 0, "hogspin 1, Exit!", "5", true}, EResult::Fail,
         "status 0, but what it started was still running 5 s after SIGINT: killed, last line: hogspin 1, Exit!"},
        {{true, false, 0, "x\rhogspin-check: y: pass (\x1b[0m)", "5"}, EResult::Fail,
         "status 0, last line: x?hogspin-check: y: pass (?[0m)"},
    };
    for (const auto& c : aStops)
    {
        const SCase stop = JudgeStop(c.stop, 1);
        EXPECT_EQ(stop.eResult, c.eResult);
        EXPECT_EQ(stop.strDetails, c.pszDetails);
    }
}

} // namespace
