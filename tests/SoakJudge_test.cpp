// SPDX-License-Identifier: MIT
// Tests of the soak check's judge: tables of parameters, sensor names and synthetic samples.
#include <set>

#include "SoakLog.h"
#include "SoakSteady.h"
#include "SoakRows.h"

namespace
{

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
         "CPU must be a CPU such as 2, a list such as 0-3 or 0,2,4-5, or all: '+1' is not a CPU (such as 2) or a range of them "
         "(such as 0-3); THREADS must be a whole number such as 2, not '02' (no leading zero)"},
        {{"0,2,4-5", "1", "1"}, "", ""},
        {{"3-1", "1", "1"}, "", "CPU must be a CPU such as 2, a list such as 0-3 or 0,2,4-5, or all: the range '3-1' runs down: its first CPU must come first"},
        {{"0,,2", "1", "1"}, "", "CPU must be a CPU such as 2, a list such as 0-3 or 0,2,4-5, or all: an empty entry in '0,,2'"},
        {{"0-", "1", "1"}, "", "CPU must be a CPU such as 2, a list such as 0-3 or 0,2,4-5, or all: '0-' is not a CPU (such as 2) or a range of them (such as 0-3)"},
        {{"2,0-3", "1", "1"}, "", "CPU must be a CPU such as 2, a list such as 0-3 or 0,2,4-5, or all: CPU 2 is named twice in '2,0-3'"},
        {{"1000-1024", "1", "1"}, "", "CPU must be a CPU such as 2, a list such as 0-3 or 0,2,4-5, or all: CPU 1024 in '1000-1024': the check takes CPUs 0 to 1023"},
        {{"all", "1", "1"}, "OPP_SWEEP=1 OPP_HOLD=4", ""},
        {{"1", "0", "0"}, "INTERVAL=0.0", "THREADS must be at least 1, not '0'; SETTLE must be above 0, not '0'; "
                                          "INTERVAL must be above 0, not '0.0'"},
        {{"1", "1", "1.2345"}, "MIN_FREQ=-5 MAX_POWER=.5", "SETTLE must be a number such as 2 or 0.5, not '1.2345' (at most 3 decimals); "
                                                             "MIN_FREQ must be a number such as 2 or 0.5, not '-5'; "
                                                             "MAX_POWER must be a number such as 2 or 0.5, not '.5'"},
        {{"1", "1", "5."}, "STOP_BOUND=1e3", "SETTLE must be a number such as 2 or 0.5, not '5.'; "
                                             "STOP_BOUND must be a number such as 2 or 0.5, not '1e3'"},
        {{"1", "1", "1000001"}, "", "SETTLE / INTERVAL gives 1000001 samples, more than 1000000"},
        {{"1234567890", "1", "1000000000"}, "", "CPU must be a CPU such as 2, a list such as 0-3 or 0,2,4-5, or all: '1234567890' is not a CPU "
                                                "(such as 2) or a range of them (such as 0-3); "
                                                "SETTLE must be a number such as 2 or 0.5, not '1000000000' (at most 9 characters)"},
        {{"1", "1", "1"}, "SUSTAIN_TEMP=hot", "SUSTAIN_TEMP must be a number such as 2 or 0.5, not 'hot'"},
        {{"1", "1", "1"}, "BASELINE=-1 UNTIL_STEADY=yes", "BASELINE must be a number such as 2 or 0.5, not '-1'; "
                                                          "UNTIL_STEADY must be 0 or 1, not 'yes'"},
        {{"1", "1", "1"}, "OPP_SWEEP=yes OPP_HOLD=0", "OPP_SWEEP must be 0 or 1, not 'yes'; OPP_HOLD must be above 0, not '0'"},
        {{"1", "1", "1"}, "OPP_SWEEP=1 OPP_HOLD=3 INTERVAL=1",
         "OPP_HOLD / INTERVAL gives 3 samples at each operating point, not 4 to 100000"},
        {{"1", "1", "1"}, "OPP_HOLD=3 INTERVAL=1", ""},
        {{"1", "1", "1"}, "STEADY_TOL=0 STEADY_RULE=iec9999", "STEADY_TOL must be more than 0 C, not '0'; STEADY_RULE must be one of check, "
                                                               "iec62368, iec60034, iec60598, iec61810, not 'iec9999'"},
        {{"1", "1", "1"}, "STEADY_TOL=-1", "STEADY_TOL must be a number such as 2 or 0.5, not '-1'"},
        {{"1", "1", "1"}, "STEADY_TOL=0.25 STEADY_RULE=iec60598", ""},
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
    EXPECT_EQ(params.limits.limMaxTemp.llValue, -5250);
    EXPECT_EQ(params.limits.limMinFreq.llValue, 1200000);
    EXPECT_EQ(params.limits.limMaxPower.llValue, 1000);
    EXPECT_EQ(params.strHogspin, "build/hogspin");
    SetEnv("BASELINE=2 INTERVAL=0.5 UNTIL_STEADY=1 POWER_METER=ina3221-VDD_CPU");
    ASSERT_TRUE(ParseParams({"0", "1", "10"}, FakeGetEnv, &params, &strWhy));
    EXPECT_EQ(params.nBaseline, 4u);
    EXPECT_TRUE(params.bUntilSteady);
    EXPECT_EQ(params.strPowerMeter, "ina3221-VDD_CPU");
    // A list is loaded in ascending order, CPU K its first; "all" is what online and the
    // check's cpuset share.
    ASSERT_TRUE(ParseParams({"5,2-3", "1", "10"}, FakeGetEnv, &params, &strWhy));
    EXPECT_EQ(params.vnCPUs, (std::vector<int>{2, 3, 5}));
    EXPECT_EQ(params.nCPU, 2);
    EXPECT_EQ(CpuListText(params.vnCPUs), "2-3,5");
    ASSERT_TRUE(ParseParams({"all", "1", "10"}, FakeGetEnv, &params, &strWhy));
    EXPECT_TRUE(IsCpuList(params));
    ASSERT_TRUE(ChooseAllCPUs("0-3,6", {1, 3, 5, 6}, &params, &strWhy));
    EXPECT_EQ(params.vnCPUs, (std::vector<int>{1, 3, 6}));
    EXPECT_EQ(params.nCPU, 1);
    EXPECT_FALSE(ChooseAllCPUs("0-1", {2, 3}, &params, &strWhy));
    EXPECT_EQ(strWhy, "CPU=all, but no online CPU (0-1) is in the check's own cpuset (2-3)");
}

// One table of cases: in the enumeration's order, each pattern once, and every name it gives
// found again as its own kind, for a sensor name that holds another case's prefix too (a
// zone's never starts "fast-": see the names' table).
TEST(SoakNames, TheCatalogueNamesEachCaseOnce)
{
    std::set<std::string> setPatterns;
    for (size_t i = 0; i < kCaseKindCount; ++i)
    {
        const SCaseKind& kind = kCaseKinds[i];
        EXPECT_EQ(static_cast<size_t>(kind.eCase), i) << kind.pszPrefix;
        EXPECT_TRUE(setPatterns.insert(std::string(kind.pszPrefix) + kind.pszOf).second) << kind.pszPrefix;
        const std::string strOf = std::string(kind.pszOf) == "cpuCPU"       ? "cpu12"
                                  : std::string(kind.pszOf) == "cpuCPU-MHZ" ? "cpu0-403_2"
                                  : *kind.pszOf != '\0'                    ? "max-soc"
                                                                            : "";
        EXPECT_EQ(FindCaseKind(CaseName(kind.eCase, strOf)), &kind) << CaseName(kind.eCase, strOf);
    }
    for (const char* pszName : {"freq-min-cpu", "freq-min-cpux", "power-opp-cpu1", "power-opp-cpu1-", "cpu-busy-soc", "temp-max-"})
    {
        EXPECT_EQ(FindCaseKind(pszName), nullptr) << pszName;
    }
    EXPECT_EQ(CaseTable().substr(0, CaseTable().find('\n')), "summary-ret\t-\tthe tool's summary line says every worker was pinned to CPU");
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
        // Not temp-tau-fast-soc twice: zone soc's fast pole and zone fast-soc's time constant.
        {{{ESensorKind::Temp, "class/thermal/thermal_zone0/temp", "soc"},
          {ESensorKind::Temp, "class/thermal/thermal_zone1/temp", "fast-soc"},
          {ESensorKind::Power, "class/hwmon/hwmon0/power1_input", "fast-rail"}},
         {"soc", "thermal_zone1-fast-soc", "fast-rail"}},
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
        EXPECT_EQ(Calls(Judged(soak)), vExpected);
    }
}

TEST(SoakJudge, DetailsSayWhatWasMeasuredAndWhatWasNot)
{
    const SSoak soak = MakeSoak("temp:soc temp:wifi energy:e", "0 0 0 - 40000 - 5; 1000 100 100 - - - 6; 2000 200 200 - 85040 - 2;"
                                "3000 300 300 - 85040 - 9", "MAX_TEMP=85");
    std::map<std::string, std::string> mapDetails;
    for (const SCase& c : Judged(soak))
    {
        mapDetails[c.strName] = c.strDetails;
    }
    EXPECT_EQ(mapDetails["temp-max-soc"], "85.04 C, the highest of the soak; read at 3 of 4 samples");
    EXPECT_EQ(mapDetails["limit-temp-soc"],
              "85.04 C, the highest of the soak; read at 3 of 4 samples; limit 85 C: the samples not read cannot be judged");
    EXPECT_EQ(mapDetails["temp-max-wifi"], "class/x/wifi could not be read at any of 4 samples");
    EXPECT_EQ(mapDetails["energy-e"], "the counter went back 2.00 s into the soak, from 6 to 2 uJ");
}

// A clock at the epoch is a time; one beyond what the board line can say is none.
TEST(SoakTrace, UtcStampSaysOnlyWhatTheLineCanHold)
{
    EXPECT_EQ(UtcStamp(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(UtcStamp(1765368000), "2025-12-10T12:00:00Z");
    EXPECT_EQ(UtcStamp(253402300800LL), "");
}

TEST(SoakTrace, LinesHoldWhatWasReadAndLeaveTheRestEmpty)
{
    const SSoak soak = MakeSoak("temp:soc power:p energy:e", "0 10 20 1200000 43064 1868943 5; 500 20 30 - - 2416661 6", "");
    char acLine[256];
    std::string strLines;
    for (size_t i = 0; i < 2; ++i)
    {
        strLines += std::string(acLine, FormatTraceLine(soak.board.vSensors, soak.run.trace, i, acLine, sizeof(acLine)));
    }
    EXPECT_EQ(TraceHeader(soak.asked.nCPU, soak.board.vSensors), "hogspin-trace,t_s,cpu1_busy_pct,cpu1_mhz,soc_c,p_w\n");
    EXPECT_EQ(strLines, "hogspin-trace,0.0,,1200,43.064,1.868943\nhogspin-trace,0.5,100.0,,,2.416661\n");
    EXPECT_EQ(FormatTraceLine(soak.board.vSensors, soak.run.trace, 0, acLine, 20), 0u);
    EXPECT_EQ(BoardLine({"Pine64, Rock\tPro", "6.1.0", "b-3", "board-\xc3\xa4 100%", UtcStamp(1765368000), "0.1.0"}),
              "hogspin-board,model=Pine64%2C Rock%09Pro,kernel=6.1.0,host=b-3,board=board-%C3%A4 100%25,"
              "started=2025-12-10T12:00:00Z,check=0.1.0\n");
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
    // With a list, each CPU's case under its own name and one over them: a failure anywhere
    // fails it, a skip alone never passes it, and a CPU left unjudged fails it.
    const SCase pass = Verdict(ECase::StopSigint, "", true, "status 0");
    const SCase fail = Verdict(ECase::StopSigint, "", false, "it had ended before SIGINT, with status 137");
    const SCase skip = Skipped(ECase::ClockMeasured, "", "no counter");
    const struct
    {
        std::vector<int> vnCPUs;
        std::vector<SCase> vPer;
        EResult eAll;
        const char* pszAll;
    } aEach[] = {
        {{0, 1, 2, 3}, {pass, pass, pass, pass}, EResult::Pass, "for each of CPUs 0-3"},
        {{0, 2, 3}, {pass, fail, fail}, EResult::Fail, "not for CPUs 2-3 of 0,2-3: it had ended before SIGINT, with status 137"},
        {{4, 5}, {skip, pass}, EResult::Pass, "for each of CPUs 4-5"},
        {{4, 5}, {skip, skip}, EResult::Skip, "for each of CPUs 4-5"},
        {{0, 1}, {pass}, EResult::Fail, "1 judged of CPUs 0-1"},
    };
    for (const auto& c : aEach)
    {
        const std::vector<SCase> vCases = JudgeEach(ECase::StopSigint, ECase::StopSigintOf, c.vnCPUs, c.vPer);
        ASSERT_EQ(vCases.size(), c.vPer.size() + 1);
        EXPECT_EQ(vCases[0].strName, "stop-sigint-cpu" + std::to_string(c.vnCPUs[0]));
        EXPECT_EQ(vCases.back().strName, "stop-sigint");
        EXPECT_EQ(vCases.back().eResult, c.eAll) << c.pszAll;
        EXPECT_EQ(vCases.back().strDetails, c.pszAll);
    }
    EXPECT_EQ(JudgeEach(ECase::StopSigint, ECase::StopSigintOf, {3}, {pass})[0].strName, "stop-sigint");
}

} // namespace

namespace
{

// A soak written as the check writes its log: board, header, trips, trace, and its cases.
std::vector<std::string> LogOf(const SSoak& soak, const std::vector<SCase>& vCases)
{
    std::string str = BoardLine({"m", "k", "h", "b", "", ""}) + TraceHeader(soak.asked.nCPU, soak.board.vSensors) + LimitsLine(soak.asked.limits) +
                      SensorsLine(soak.board.vSensors);
    char acLine[512];
    for (size_t i = 0; i < soak.run.trace.nSamples; ++i)
    {
        str += std::string(acLine, FormatTraceLine(soak.board.vSensors, soak.run.trace, i, acLine, sizeof(acLine)));
    }
    for (const SCase& c : vCases)
    {
        str += CaseLine(c) + DataLine(c);
    }
    str += "hogspin-check: stop-sigint: pass (status 0)\nhogspin-case,stop-sigint,pass,,\n";
    std::vector<std::string> vLines;
    for (size_t p = 0, q; (q = str.find('\n', p)) != std::string::npos; p = q + 1)
    {
        vLines.push_back(str.substr(p, q - p));
    }
    return vLines;
}

} // namespace

// A stored soak read back gives the very lines the live one did for every case its trace holds;
// a log that is no whole soak of this check is refused, naming its line.
TEST(SoakLog, StoredSoaksAreJudgedAsTheLiveOnes)
{
    SSoak soak = MakeCurves("temp:soc power:p", 8, 241, 0.25, [](size_t k, double t) {
        return k == 0 ? Rise(35000, 40000, 0.4)(t) + Rise(0, 20000, 8)(t) + 40 * std::sin(9.1 * t) : (t < 0 ? 1.0e6 : 3.0e6);
    }, [](double) { return 1800000.0; });
    soak.board.vSensors[0].vllPassiveTrips = {70000};
    const std::vector<SCase> vLive = JudgeSoak(soak.asked, AnalyseSoak(soak.asked, soak.board, soak.run));
    SStoredSoak stored;
    std::string strWhy;
    ASSERT_TRUE(ReadSoakLog(LogOf(soak, vLive), &stored, &strWhy)) << strWhy;
    const std::vector<SCase> vAgain = JudgeSoak(soak.asked, AnalyseSoak(soak.asked, stored.board, stored.run));
    ASSERT_EQ(vAgain.size(), vLive.size());
    size_t nIntervals = 0;
    for (size_t i = 0; i < vLive.size(); ++i)
    {
        const bool bHeld = vLive[i].strName.rfind("temp-", 0) == 0 || vLive[i].strName.rfind("thermal-", 0) == 0 ||
                           vLive[i].strName.rfind("power-", 0) == 0 || vLive[i].strName.rfind("sustainable-", 0) == 0;
        EXPECT_EQ(bHeld ? CaseLine(vAgain[i]) + DataLine(vAgain[i]) : vAgain[i].strName, bHeld ? CaseLine(vLive[i]) + DataLine(vLive[i]) : vLive[i].strName);
        nIntervals += vLive[i].strLow.empty() ? 0u : 1u;
    }
    EXPECT_GE(nIntervals, 4u);  // temp-tau, temp-tau-fast, temp-steady, thermal-resistance
    // Cut where a live soak would have ended: as long, its later rows gone.
    CutSoak(&stored, 30000000);
    EXPECT_EQ(stored.run.usPlanned, 30000000);
    EXPECT_EQ(stored.run.trace.nSamples, 8u + 121u);

    const std::vector<std::string> vGood = LogOf(soak, vLive);
    const struct
    {
        std::vector<std::string> vLines;
        const char* pszWhy;
    } aBad[] = {
        {{"[    2.31] Run /init as init process"}, "line 1 ('[    2.31] Run /init as init process') is not the check's"},
        {{vGood[0], vGood[0]}, "line 2 ('hogspin-board,model=m,kernel=k,host=h,board=b,started=,check='): a second soak begins"},
        {{vGood[0], "hogspin-trace,t_s,cpu1_busy_pct,cpu1_mhz,soc"}, "a trace header this check does not write"},
        {{vGood[0], vGood[1], "hogspin-trace,0.0,,1800"}, "a trace line whose fields are not its header's"},
        {{vGood[0], vGood[1], "hogspin-trace,0.0,,1800,40.0,1.x"}, "a trace line whose fields are not its header's"},
        {{vGood[0], vGood[1], "hogspin-trace,1.0,,1800,40.0,1", "hogspin-trace,0.5,,1800,40.0,1"}, "out of order"},
        {{vGood[0], vGood[1], "hogspin-sensors,gpu_c=class/thermal/thermal_zone1/temp;70"}, "a sensor the trace does not hold"},
        {{vGood[0], vGood[1], "hogspin-sensors,p_w=class/hwmon/hwmon0/power1_input;70"}, "a sensor the trace does not hold, or no path"},
        {{vGood[0], vGood[1], "hogspin-sensors,soc_c=a%2"}, "a sensor the trace does not hold, or no path"},
        {{vGood[0]}, "no trace: not the log of a soak by this check"},
        {std::vector<std::string>(vGood.begin(), vGood.end() - 2), "cut short: it ends at line"},
        {{"- {\"dt\": \"x\", \"lvl\": \"target\", \"msg\": \"hogspin-case,x,pass,,\"}"}, "a data line that follows no case line of its name"},
    };
    for (const auto& c : aBad)
    {
        SCOPED_TRACE(c.pszWhy);
        EXPECT_FALSE(ReadSoakLog(c.vLines, &stored, &strWhy));
        EXPECT_NE(strWhy.find(c.pszWhy), std::string::npos) << strWhy;
    }
    // A LAVA log's quoting is undone, its own lines passed over.
    EXPECT_EQ(CheckLinesIn("- {\"dt\": \"x\", \"msg\": \"hogspin-check: a: pass (\\\"q\\\" \\u00b5)\\u001b[0m\"}"),
              std::vector<std::string>{"hogspin-check: a: pass (\"q\" ?)"});
    EXPECT_TRUE(CheckLinesIn("- {\"dt\": \"x\", \"msg\": {\"case\": \"a\"}}").empty());
}

// UNTIL_STEADY's looks at a growing soak, as the check takes them: never before three minutes,
// nor while a slow pole hides; steady once T∞ is known within STEADY_TOL at two looks, or a bend
// has held the zone still, and a standard's rate is met where one is asked.
TEST(SoakJudge, SteadyOnlyOnceTheSlowPoleIsSeen)
{
    const auto flatTop = [](double) { return 1800000.0; };
    const auto smallNoise = [](double t) { return 30 * std::sin(7.3 * t); };
    const auto withRule = [](SSoak soak, int iRule) {
        soak.asked.iSteadyRule = iRule;
        return soak;
    };
    const auto throttledAt6 = [](double t) { return t < 6 ? 1800000.0 : 1400000.0; };
    const struct
    {
        const char* pszName;
        SSoak soak;
        double dNotBefore;  // s; HUGE_VAL: never steady
    } aCases[] = {
        {"a die on a board of τ 10 s, 240 s of it: not before three minutes",
         MakeCurves("temp:soc", 0, 481, 0.5, [&](size_t, double t) { return Rise(40000, 44000, 0.5)(t) + Rise(0, 20000, 10)(t) + smallNoise(t); }, flatTop),
         180},
        {"the same cut at 15 s, 1.5 τ", MakeCurves("temp:soc", 0, 151, 0.1, [&](size_t, double t) { return Rise(40000, 44000, 0.5)(t) + Rise(0, 20000, 10)(t) + smallNoise(t); }, flatTop),
         HUGE_VAL},
        {"a die jump on a board of τ 93 s, 22 s in",
         MakeCurves("temp:soc", 0, 221, 0.1, [&](size_t, double t) { return Rise(40000, 44000, 0.2)(t) + Rise(0, 16000, 93)(t) + smallNoise(t); }, flatTop),
         HUGE_VAL},
        {"one pole of 5 s, 240 s of it", MakeCurves("temp:soc", 0, 241, 1, [&](size_t, double t) { return Rise(40000, 60000, 5)(t) + smallNoise(t); }, flatTop), 180},
        {"the same, held to IEC 61810-7's three readings 5 min apart: too short for them",
         withRule(MakeCurves("temp:soc", 0, 241, 1, [&](size_t, double t) { return Rise(40000, 60000, 5)(t) + smallNoise(t); }, flatTop), 4),
         HUGE_VAL},
        {"the same, 11 min of it, held to IEC 61810-7", withRule(MakeCurves("temp:soc", 0, 331, 2, [&](size_t, double t) {
             return Rise(40000, 60000, 5)(t) + smallNoise(t); }, flatTop), 4), 600},
        // The standards' windows: 30 min for IEC 62368-1, an hour for IEC 60034-1 and IEC 60598.
        {"a board of τ 200 s for 40 min, held to IEC 62368-1", withRule(MakeCurves("temp:soc", 0, 121, 20, [&](size_t, double t) {
             return Rise(40000, 60000, 200)(t) + smallNoise(t); }, flatTop), 1), 1800},
        {"the same held to IEC 60034-1", withRule(MakeCurves("temp:soc", 0, 121, 20, [&](size_t, double t) {
             return Rise(40000, 60000, 200)(t) + smallNoise(t); }, flatTop), 2), HUGE_VAL},
        {"the same held to IEC 60598", withRule(MakeCurves("temp:soc", 0, 121, 20, [&](size_t, double t) {
             return Rise(40000, 60000, 200)(t) + smallNoise(t); }, flatTop), 3), HUGE_VAL},
        {"the same by the check's own rule", MakeCurves("temp:soc", 0, 121, 20, [&](size_t, double t) {
             return Rise(40000, 60000, 200)(t) + smallNoise(t); }, flatTop), 400},
        // Throttled 6 s in, before the fit saw 2 τ, the zone then sits at 60.0 C: steady too.
        {"a zone a throttle stopped, still since", MakeCurves("temp:soc", 0, 207, 1, [&](size_t, double t) {
             return t < 6 ? Rise(40000, 65000, 4)(t) : 60000.0; }, throttledAt6), 180},
        {"a zone a throttle stopped that creeps on", MakeCurves("temp:soc", 0, 207, 1, [&](size_t, double t) {
             return t < 6 ? Rise(40000, 65000, 4)(t) : 59400.0 + 10 * t; }, throttledAt6), HUGE_VAL},
        // A die of 15 C on a board of 3 C and τ 600 s, read in whole degrees: the board's pole
        // hides in the sensor's steps.
        {"a slow board read in whole degrees", MakeCurves("temp:soc", 0, 241, 1, [&](size_t, double t) {
             return 1000 * std::floor((Rise(40000, 55000, 3)(t) + Rise(0, 3000, 600)(t)) / 1000); }, flatTop), HUGE_VAL},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        SSteadyWatch watch;
        double dSteadyAt = HUGE_VAL;
        // A look at every tenth of growth (the check looks at every twentieth): emulated CPUs run this too.
        for (size_t k = 10; k < c.soak.run.trace.nSamples && dSteadyAt == HUGE_VAL; k += std::max<size_t>(1, k / 10))
        {
            SSoakRun run = c.soak.run;
            run.trace.nSamples = k + 1;
            std::string strWhy;
            dSteadyAt = SoakIsSteady(c.soak.asked, run.trace, AnalyseSoak(c.soak.asked, c.soak.board, run), &watch, &strWhy)
                            ? static_cast<double>(run.trace.vllTimeUs[k]) / 1e6
                            : HUGE_VAL;
        }
        EXPECT_GE(dSteadyAt, c.dNotBefore);
        EXPECT_EQ(dSteadyAt == HUGE_VAL, c.dNotBefore == HUGE_VAL) << dSteadyAt;
    }
}
