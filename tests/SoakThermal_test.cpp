// SPDX-License-Identifier: MIT
// Tests of the soak check's thermal figures: zones that rise with one pole or two, and when a board is steady.
#include "SoakRows.h"

namespace
{

// A clock at 1.2 GHz all through, and ±0.08 C of noise, the same every run.
const auto flat = [](double) { return 1200000.0; };
const auto noise = [](double t) { return 80 * std::sin(7.3 * t); };

// A zone on a meter that reads 0.5 W at rest and 2.5 W under the load; read in whole degrees
// where bWhole.
SSoak OnMeter(size_t nBase, size_t nSoak, double dInterval, std::function<double(double)> fnZone, bool bWhole)
{
    return MakeCurves("temp:soc power:ina", nBase, nSoak, dInterval,
                      [=](size_t k, double t) { return k == 1 ? (t < 0 ? 500000.0 : 2500000.0) : bWhole ? 1000 * std::floor(fnZone(t) / 1000) : fnZone(t); },
                      flat);
}

// A zone rising on a clock, with a table of operating points, and scaling_max_freq read as
// vllMax gives it for each of the five baseline rows and then for every soak row (its last
// for the rows it has none for).
SSoak Capped(std::function<double(double)> fnKHz, std::vector<tint64> vllOpp, std::vector<tint64> vllMax)
{
    SSoak soak = MakeCurves("temp:soc", 5, 31, 1, [](size_t, double t) { return Rise(40000, 60000, 10)(t); }, fnKHz);
    soak.board.vllOppKHz = vllOpp;
    for (size_t i = 0; i < soak.run.trace.nSamples; ++i)
    {
        soak.run.trace.vllMaxKHz[i] = vllMax[std::min<size_t>(i, std::min<size_t>(5, vllMax.size() - 1))];
    }
    return soak;
}

// A die of 5 K/W and τ 2 s heading for 72.5 C on 7 W from 0.5 W at 40 C, a 70 C passive trip
// reached at 5.2 s; from dCap s the clock is capped and the meter reads dHeld µW ±50 mW, the
// zone held at the trip ±0.3 C (a fan holds it until the cap) and falling 0.25 C/s from dFall s;
// INTERVAL 0.1 s, dSoak s.
SSoak HeldAtTrip(double dSoak, double dHeld, double dCap = 5.2, double dFall = 1e9)
{
    SSoak soak = MakeCurves("temp:soc power:ina", 10, static_cast<size_t>(dSoak * 10) + 1, 0.1,
                            [=](size_t k, double t) {
                                return k == 0 ? (t < 5.2 ? Rise(40000, 72500, 2)(t) : 70000 + 300 * std::sin(3 * t) - 250 * std::max(0.0, t - dFall))
                                              : t < 0 ? 500000.0 : t < dCap ? 7000000.0 : dHeld + 50000 * std::sin(5 * t);
                            },
                            [=](double t) { return t < dCap ? 1800000.0 : 1400000.0; });
    soak.board.vSensors[0].vllPassiveTrips = {70000};
    return soak;
}

// A zone heading for 95 C with τ 20 s whose clock flickers between 2 GHz and 1333 MHz once it
// reaches 80 C, 26 s in, which holds it there; with time_in_state's 2 GHz all through where bStates.
SSoak Flickering(bool bStates)
{
    SSoak soak = MakeCurves("temp:soc", 0, 91, 1, [](size_t, double t) { return t < 26 ? Rise(40000, 95000, 20)(t) : 80000 + 300 * std::sin(3 * t); },
                            [](double t) { return t > 26 && std::llround(t) % 2 == 1 ? 1333000.0 : 2000000.0; }, bStates ? 2 : 0);
    soak.board.vllOppKHz = {2000000, 1800000, 1500000, 1000000, 600000};
    soak.run.trace.vllStateKHz = {2000000, 1500000};
    for (size_t i = 0; bStates && i < soak.run.trace.nSamples; ++i)
    {
        soak.run.trace.vllStateTime[2 * i] = 1000000 * static_cast<tint64>(i);
        soak.run.trace.vllStateTime[2 * i + 1] = 0;
    }
    return soak;
}

// A soak, and the cases it must give: "case:result:figure±tolerance:details-fragment"; figure may be "-".
struct SThermalRow
{
    const char* pszName;
    std::function<SSoak()> fnSoak;
    std::vector<std::string> vExpected;
};

void JudgeRows(const std::vector<SThermalRow>& aCases)
{
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        const SSoak soak = c.fnSoak();
        std::map<std::string, SCase> mapCases;
        for (const SCase& got : Judged(soak))
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
            // A measurement that is no number ("never", none) fails this row, not the rows after it.
            char* pszEnd = nullptr;
            const double dGot = std::strtod(got.strMeasurement.c_str(), &pszEnd);
            EXPECT_TRUE(!got.strMeasurement.empty() && *pszEnd == '\0') << strName << ": " << got.strMeasurement;
            EXPECT_NEAR(dGot, dWant, dTolerance) << strName << ": " << got.strDetails;
        }
    }
}

// Each zone's rise: one pole or two, a projection, a bend, a glitch, whole degrees.
TEST(SoakJudge, ZonesRiseWithOnePoleOrTwo)
{
    JudgeRows({
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
        {"a tool of the list killed at 10 s: nothing read passes, a limit broken still fails",
         [&] {
             SSoak soak = MakeCurves("temp:soc", 0, 11, 1, [&](size_t, double t) { return Rise(40000, 70000, 5)(t); }, flat);
             soak.asked.limits.limMaxTemp = ParamsFrom("MAX_TEMP=60", "30").limits.limMaxTemp;
             soak.run.bCut = true;
             soak.run.usPlanned = 30000000;
             soak.run.strEnded = "ended at 10.0 s: the tool for CPU 2 ended with status 137";
             return soak;
         },
         {"temp-max-soc:skip:-:not judged: the load failed, ended at 10.0 s: the tool for CPU 2 ended with status 137",
          "temp-tau-soc:skip:-:not judged", "throttle-onset-cpu1:skip:-:not judged", "limit-temp-soc:fail:-:limit 60 C",
          "cpu-busy:fail:-:the soak lasted 10.00 s of the 30 s asked; ended at 10.0 s"}},
        {"a vendor kernel that writes whole degrees, under MAX_TEMP=40",
         [&] {
             // One reading in range, a fault code read as 65.535 C, vouches for none of the rest.
             SSoak soak = MakeCurves("temp:soc", 0, 31, 1, [](size_t, double t) { return t < 5 ? 41.0 : t == 10 ? 65535.0 : 43.0; }, flat);
             soak.asked.limits.limMaxTemp = ParamsFrom("MAX_TEMP=40", "30").limits.limMaxTemp;
             return soak;
         },
         {"temp-max-soc:skip:-:its readings cannot be judged", "temp-rise-soc:skip:-:they ran from 41 to 65535", "limit-temp-soc:fail:-:the reading cannot be judged",
          "temp-tau-soc:skip:-:its readings cannot be judged"}},
        {"whole degrees rising, still with a stray 4.095 C and in a -40 C chamber, and tenths: none is m°C, under MAX_TEMP=200",
         [&] {
             SSoak soak = MakeCurves("temp:soc temp:board temp:cold temp:gpu", 5, 61, 1, [](size_t k, double t) {
                 return std::floor(k == 0 ? Rise(41, 65, 10)(t) : k == 1 ? (t == 20 ? 4095 : 38) : k == 2 ? Rise(-40, -35, 10)(t) : Rise(410, 650, 10)(t));
             }, flat);
             soak.asked.limits.limMaxTemp = ParamsFrom("MAX_TEMP=200", "60").limits.limMaxTemp;
             return soak;
         },
         {"temp-max-soc:skip:-:readings of 41 to 64 m°C move by 1 m°C steps: a kernel that writes whole degrees?",
          "limit-temp-soc:fail:-:the reading cannot be judged, readings of 41 to 64", "temp-tau-soc:skip:-:its readings cannot be judged",
          "temp-max-board:skip:-:readings (65 of 66) are 38 m°C: a kernel that writes whole degrees?", "limit-temp-board:fail:-:",
          "temp-rise-cold:skip:-:readings of -40 to -36 m°C move by 1 m°C steps", "limit-temp-cold:fail:-:",
          "temp-max-gpu:skip:-:readings of 410 to 649 m°C move by 1 m°C steps: a kernel that writes tenths of a degree?"}},
        {"fault codes: -274 C, one reading of 255 C, 127 C still, INT_MAX; no limit lets them pass",
         [&] {
             SSoak soak = MakeCurves("temp:a temp:b temp:c temp:d", 0, 31, 1, [](size_t k, double t) {
                 return k == 0 ? -274000.0 : k == 1 ? (t == 20 ? 255000.0 : Rise(40000, 60000, 10)(t)) : k == 2 ? 127000.0 : 2147483647.0;
             }, flat);
             soak.asked.limits.limMaxTemp = ParamsFrom("MAX_TEMP=200", "30").limits.limMaxTemp;
             return soak;
         },
         {"temp-max-a:skip:-:-274.000 C is below -55 C: a sensor's fault code?", "limit-temp-a:fail:-:the reading cannot be judged",
          "temp-rise-b:skip:-:255.000 C is above 150 C: a sensor's fault code?; they ran from 40000 to 255000", "limit-temp-b:fail:-:",
          "temp-max-c:skip:-:every reading is 127.000 C, a value sensors give for none: a fault code?", "limit-temp-c:fail:-:",
          "temp-max-d:skip:-:2147483.647 C is above 150 C", "limit-temp-d:fail:-:"}},
        {"a glitch to 0 C, and two readings at 95 C, on healthy rises under MAX_TEMP=85",
         [&] {
             SSoak soak = MakeCurves("temp:soc temp:gpu", 0, 61, 1, [](size_t k, double t) {
                 return (k == 0 && t == 50) ? 0.0 : (k == 1 && (t == 30 || t == 31)) ? 95000.0 : Rise(40000, 60000, 20)(t);
             }, flat);
             soak.asked.limits.limMaxTemp = ParamsFrom("MAX_TEMP=85", "60").limits.limMaxTemp;
             return soak;
         },
         {"temp-max-soc:skip:-:0.000 C at 50.00 s leaps 58.274 C from the readings either side and back: a glitch?",
          "limit-temp-soc:fail:-:a glitch?", "temp-tau-soc:skip:-:its readings cannot be judged: 0.000 C at 50.00 s",
          "temp-max-gpu:skip:-:95.000 C at 30.00 s, the first of 2 readings that leap 39.038 C from the readings either side", "limit-temp-gpu:fail:-:"}},
        {"a board in a -40 C chamber: each zone warms a few degrees, under MAX_TEMP=-30",
         [&] {
             SSoak soak = MakeCurves("temp:soc temp:board", 5, 101, 1,
                                     [](size_t k, double t) { return k == 0 ? Rise(-40000, -32000, 20)(t) + noise(t) : Rise(-40000, -38500, 40)(t); }, flat);
             soak.asked.limits.limMaxTemp = ParamsFrom("MAX_TEMP=-30", "100").limits.limMaxTemp;
             return soak;
         },
         {"temp-max-soc:pass:-32±0.2:the highest of the soak", "temp-rise-soc:pass:8±0.2:above its baseline mean of -40.0",
          "temp-tau-soc:pass:20±0.6:it settled", "temp-steady-soc:pass:-32±0.2:from -39.99 C at the start", "limit-temp-soc:pass:-:limit -30 C",
          "temp-max-board:pass:-38.6±0.1:", "limit-temp-board:pass:-:"}},
        {"an ACPI zone stuck at -44 C beside a zone that rises past MAX_TEMP=55",
         [&] {
             SSoak soak = MakeCurves("temp:acpi temp:soc", 5, 61, 1, [](size_t k, double t) { return k == 0 ? -44000.0 : Rise(40000, 60000, 10)(t); }, flat);
             soak.asked.limits.limMaxTemp = ParamsFrom("MAX_TEMP=55", "60").limits.limMaxTemp;
             return soak;
         },
         {"temp-max-acpi:pass:-44±0:the highest of the soak", "temp-rise-acpi:pass:0±0:above its baseline mean of -44.0 C",
          "temp-tau-acpi:skip:-:it rose only 0.00 C", "limit-temp-acpi:pass:-:", "limit-temp-soc:fail:-:limit 55 C"}},
        {"an automotive part at 125 C under MAX_TEMP=124: judged, and only its limit fails",
         [&] {
             SSoak soak = MakeCurves("temp:soc temp:board", 5, 61, 1,
                                     [](size_t k, double t) { return k == 0 ? Rise(95000, 125000, 10)(t) + noise(t) : Rise(90000, 110000, 10)(t); }, flat);
             soak.asked.limits.limMaxTemp = ParamsFrom("MAX_TEMP=124", "60").limits.limMaxTemp;
             return soak;
         },
         {"temp-max-soc:pass:125±0.1:", "temp-steady-soc:pass:125±0.2:", "limit-temp-soc:fail:-:limit 124 C", "limit-temp-board:pass:-:"}},
        {"a board in a 0 C chamber: a zone read in m°C steps near 0 C, vouched for by the zone beside it",
         [&] {
             return MakeCurves("temp:board temp:amb", 5, 61, 1,
                               [](size_t k, double t) { return k == 0 ? 100 * std::floor(Rise(-500, 1500, 20)(t) / 100) : std::floor(Rise(-30, 80, 30)(t)); }, flat);
         },
         {"temp-max-amb:pass:0.065±0:the highest of the soak", "temp-max-board:pass:1.4±0:"}},
        {"a die on a board whose pole is ten times the soak, read without noise",
         [&] { return MakeCurves("temp:soc", 0, 61, 1, [&](size_t, double t) { return Rise(40000, 55000, 5)(t) + Rise(0, 3000, 600)(t); }, flat); },
         {"temp-tau-soc:skip:-:soak longer", "temp-steady-soc:skip:-:soak longer"}},
        {"a sensor that reads in whole degrees: T∞ no closer than its step",
         [&] { return MakeCurves("temp:soc", 0, 101, 1, [&](size_t, double t) { return 1000 * std::floor(Rise(40000, 60000, 10)(t) / 1000); }, flat); },
         {"temp-steady-soc:pass:60±1:widened for its sensor's step of 1.00 C"}},
        {"the same, truncated, over few readings that seldom repeat",
         [&] { return MakeCurves("temp:soc", 5, 21, 10, [&](size_t, double t) { return 1000 * std::floor(Rise(40000, 80300, 60)(t) / 1000); }, flat); },
         {"temp-steady-soc:pass:80±1:widened for its sensor's step of 1.00 C"}},
        {"a zone that stays put, a hair lower at the end",
         [&] { return MakeCurves("temp:soc", 0, 31, 1, [](size_t, double t) { return 45000 - t / 10; }, flat); },
         {"temp-tau-soc:skip:-:it rose only 0.00 C"}},
    });
}

// Thermal resistance and sustainable power, from a baseline and a meter.
TEST(SoakJudge, ResistanceAndSustainablePower)
{
    JudgeRows({
        {"a baseline with idle and load power: K/W exact",
         [&] {
             return MakeCurves("temp:soc power:ina", 10, 61, 1,
                               [&](size_t k, double t) { return k == 0 ? Rise(40000, 70000, 10)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
         },
         {"temp-rise-soc:pass:29.9±0.1:above its baseline mean of 40.0 C", "power-idle-ina:pass:0.5±0:before the load, CPU 1 0.0 % busy",
          "power-load-ina:pass:2±0:what the load added", "thermal-resistance-soc:pass:15±0:(T∞ 70.00 C − idle 40.0 C) / (load 2.5 W, the median of its later half, − idle 0.5 W) on ina"}},
        // A die's leakage grows as it heats, 20 mW/K here: the zone settles with the last power.
        {"leakage that grows with the zone: K/W from the power it settles with",
         [&] {
             return MakeCurves("temp:soc power:ina", 10, 61, 1,
                               [&](size_t k, double t) {
                                   const double dT = Rise(40000, 70000, 15)(t);
                                   return k == 0 ? dT : t < 0 ? 500000.0 : 2500000.0 + 20 * (dT - 40000);
                               },
                               flat);
         },
         {"thermal-resistance-soc:pass:11.54±0.04:W at T∞, on a line through its later readings"}},
        // A second load on the meter's rail, or a fan, that starts part-way is a step, not leakage.
        {"a second load of 1 W on the meter's rail from 50 s, not on this zone",
         [&] {
             return MakeCurves("temp:soc power:ina", 10, 61, 1,
                               [&](size_t k, double t) { return k == 0 ? Rise(40000, 70000, 15)(t) : t < 0 ? 500000.0 : t < 50 ? 2500000.0 : 3500000.0; },
                               flat);
         },
         {"thermal-resistance-soc:pass:15±0.1:the median of its later half"}},
        // The fan's power is the meter's as the zone settles: 30 C over 2.3 W.
        {"a fan of 0.3 W on the rail from 45 s",
         [&] {
             return MakeCurves("temp:soc power:ina", 10, 61, 1,
                               [&](size_t k, double t) { return k == 0 ? Rise(40000, 70000, 15)(t) : t < 0 ? 500000.0 : t < 45 ? 2500000.0 : 2800000.0; },
                               flat);
         },
         {"thermal-resistance-soc:pass:13.04±0.01:the median of its later half"}},
        {"two meters and none named",
         [&] { return MakeCurves("temp:soc power:a power:b", 10, 61, 1, [&](size_t k, double t) { return k == 0 ? Rise(40000, 70000, 10)(t) : 1e6 + t; }, flat); },
         {"thermal-resistance-soc:skip:-:several power meters (a, b): POWER_METER names which"}},
        {"10 K/W over an idle 0.5 W at 40 C, passive trip points at 60 and 70 C: 3.5 W sustained",
         [&] {
             SSoak soak = MakeCurves("temp:soc power:ina", 10, 61, 1,
                                     [&](size_t k, double t) { return k == 0 ? Rise(40000, 60000, 5)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
             soak.board.vSensors[0].vllPassiveTrips = {60000, 70000};
             return soak;
         },
         {"sustainable-power-soc:pass:3500±1:a projection: what ina would read with the zone settled at 70.0 C (its highest passive "
          "trip point): idle 0.5 W at 40.0 C, and 10.00 K/W above it; not measured: nothing capped the clock, nor did a cooling device "
          "come on: the zone was not held at its passive trip point, 70.0 C; k_po 350.0 and k_pu 700.0 mW/C"}},
        {"the same at SUSTAIN_TEMP=65, and a zone with no target",
         [&] {
             SSoak soak = MakeCurves("temp:soc temp:gpu power:ina", 10, 61, 1,
                                     [&](size_t k, double t) { return k < 2 ? Rise(40000, 60000, 5)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
             soak.board.vSensors[0].vllPassiveTrips = {70000};
             soak.asked.limits.limSustainTemp = ParamsFrom("SUSTAIN_TEMP=65", "60").limits.limSustainTemp;
             soak.board.vSensors[1].vllPassiveTrips.clear();
             return soak;
         },
         {"sustainable-power-soc:pass:3000±1:(SUSTAIN_TEMP): idle 0.5 W at 40.0 C, and 10.00 K/W above it; not measured: the target is "
          "no passive trip point the kernel would hold the zone at; k_po 42.9 and k_pu 85.7 "
          "mW/C, as the power allocator derives them over its passive trip points, 0.0 to 70.0 C",
          "sustainable-power-gpu:pass:3000±1:no passive trip point to derive"}},
        // 5 K/W from 0.5 W at 40 C: 6.5 W would hold the zone at its 70 C trip, which it reaches
        // at 2.6 τ; the kernel then caps the clock and holds it there, ±0.3 C, for 15 s.
        {"held at the trip by a cap, drawing 6.45 W: measured, and the projection agrees",
         [&] { return HeldAtTrip(20, 6450000); },
         {"sustainable-power-soc:pass:6450±5:measured: the zone held at its passive trip point, 70.0 C, for 14.",
          "sustainable-power-soc:pass:6450±5:, is 0.8 % above; k_po",
          "sustainable-power-soc:pass:6450±5:, and ina read 6.4"}},
        {"held at the trip, but a fan came on with the heat: 7.5 W shed there",
         [&] { return HeldAtTrip(20, 7500000); },
         {"sustainable-power-soc:pass:7500±5:is 13.3 % below, more than 10 %: a fan, or a cooling path that is not linear"}},
        {"held for a moment at the soak's end: too short to measure, the projection",
         [&] { return HeldAtTrip(6, 6450000); },
         {"sustainable-power-soc:pass:6500±20:a projection: what ina would read", "sustainable-power-soc:pass:6500±20:, 8 needed"}},
        // Hostile boards: a cap long after the trip was reached, a zone that falls once the
        // load is gone, a zone that crosses the trip with no cap at all.
        {"the trip reached at 5.2 s but the clock capped only at 15 s: the hold is measured from the cap",
         [&] { return HeldAtTrip(20, 6450000, 15); },
         {"sustainable-power-soc:pass:6450±5:measured: the zone held at its passive trip point, 70.0 C, for 5.0"}},
        {"held from 5.2 s, then falling 0.25 C/s from 14 s as the load is gone: not held",
         [&] { return HeldAtTrip(20, 6450000, 5.2, 14); },
         {"sustainable-power-soc:pass:6500±20:C over its later half: not held"}},
        {"rising slowly through the trip with nothing capped",
         [&] {
             SSoak soak = MakeCurves("temp:soc power:ina", 10, 201, 0.1,
                                     [&](size_t k, double t) { return k == 0 ? Rise(40000, 72500, 2)(std::min(t, 5.2)) + 300 * std::max(0.0, t - 5.2) : t < 0 ? 500000.0 : 7000000.0; },
                                     flat);
             soak.board.vSensors[0].vllPassiveTrips = {70000};
             return soak;
         },
         {"sustainable-power-soc:skip:-:no steady state", "sustainable-power-soc:skip:-:; not measured: nothing capped the clock"}},
        {"the kernel could not hold it: past the trip and still rising",
         [&] {
             SSoak soak = HeldAtTrip(20, 6450000);
             for (size_t i = soak.run.trace.nBaseline + 60; i < soak.run.trace.nSamples; ++i)
             {
                 soak.run.trace.vllValues[i * soak.run.trace.nSensors] += static_cast<tint64>(200 * (i - soak.run.trace.nBaseline - 60));
             }
             return soak;
         },
         {"sustainable-power-soc:pass:6500±20:did not end the soak held at its passive trip point, 70.0 C"}},
        {"no target at all",
         [&] {
             return MakeCurves("temp:soc power:ina", 10, 61, 1,
                               [&](size_t k, double t) { return k == 0 ? Rise(40000, 60000, 5)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
         },
         {"sustainable-power-soc:skip:-:no SUSTAIN_TEMP, and no passive trip point under class/x"}},
    });
}

// Whether the baseline was a rest: the CPU idle, and each zone still.
TEST(SoakJudge, BaselineAtRest)
{
    JudgeRows({
        {"a baseline that was not at rest",
         [&] {
             SSoak soak = MakeCurves("temp:soc power:ina", 10, 61, 1,
                                     [&](size_t k, double t) { return k == 0 ? Rise(40000, 70000, 10)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
             std::copy(soak.run.trace.vllTotal.begin(), soak.run.trace.vllTotal.begin() + 10, soak.run.trace.vllBusy.begin());
             return soak;
         },
         {"thermal-resistance-soc:skip:-:the baseline was not at rest, CPU 1 100.0 % busy in it"}},
        {"a baseline not quite at rest",
         [&] {
             SSoak soak = MakeCurves("temp:soc power:ina", 10, 61, 1,
                                     [&](size_t k, double t) { return k == 0 ? Rise(40000, 70000, 10)(t) : t < 0 ? 500000.0 : 2500000.0; }, flat);
             for (size_t i = 0; i < 10; ++i)
             {
                 soak.run.trace.vllBusy[i] = 300000 * static_cast<tint64>(i);
             }
             return soak;
         },
         {"thermal-resistance-soc:pass:15±0:the baseline was not quite at rest, CPU 1 30.0 % busy in it"}},
        {"a zone still cooling from an earlier soak through the baseline",
         [&] {
             SSoak soak = OnMeter(20, 61, 1, [](double t) { return t < 0 ? 50000 + 10000 * std::exp(-(t + 20) / 8) : Rise(50000, 55000, 10)(t); }, false);
             soak.board.vSensors[0].vllPassiveTrips = {60000, 70000};
             return soak;
         },
         {"thermal-resistance-soc:skip:-:the zone was not at rest in the baseline: it fell", "sustainable-power-soc:skip:-:not at rest in the baseline",
          "temp-rise-soc:pass:5±0.1:above its first reading in the soak, the zone not at rest in the baseline"}},
        // A trend is no noise: six smooth readings, 10 s apart, falling 6 C.
        {"the same over six readings of a fine sensor",
         [&] { return OnMeter(6, 97, 10, [](double t) { return 40000 + 15000 * std::exp(-(t + 60) / 100) + Rise(0, 15000, 120)(t); }, false); },
         {"thermal-resistance-soc:skip:-:not at rest in the baseline: it fell 5."}},
        {"the same, slower, read in whole degrees: 48, then 47 and 46",
         [&] { return OnMeter(30, 385, 5, [](double t) { return 40000 + 8000 * std::exp(-(t + 150) / 600) + Rise(0, 15000, 240)(t); }, true); },
         {"thermal-resistance-soc:skip:-:not at rest in the baseline: it fell 1."}},
        {"the same, faster, over eight readings in whole degrees: 45, then 44 and 43",
         [&] { return OnMeter(8, 91, 2, [](double t) { return 40000 + 5000 * std::exp(-(t + 16) / 30) + Rise(0, 15000, 20)(t); }, true); },
         {"thermal-resistance-soc:skip:-:not at rest in the baseline: it fell 1."}},
        {"a whole-degree sensor at rest that crosses one step halfway through a long baseline",
         [&] { return OnMeter(30, 121, 1, [](double t) { return t < 0 ? (t < -15 ? 40000 : 41000) : Rise(40500, 55500, 20)(t); }, true); },
         {"thermal-resistance-soc:pass:7.3±0.2:idle 40.5 C"}},
        {"a whole-degree sensor at rest that crosses one step in the baseline",
         [&] { return OnMeter(6, 121, 1, [](double t) { return t < 0 ? (t < -3 ? 40000 : 41000) : Rise(40500, 55500, 20)(t); }, false); },
         {"thermal-resistance-soc:pass:7.5±0.01:idle 40.5 C"}},
    });
}

// CPU K's clock, its throttling, cooling devices and cycles.
TEST(SoakJudge, ClocksThrottlingAndCooling)
{
    JudgeRows({
        {"time_in_state sees what the samples miss; a cooling device; the cycles",
         [&] {
             SSoak soak = MakeCurves("cooling:fan", 0, 11, 1, [](size_t, double t) { return t < 7 ? 0 : 1000000 * (t - 6.5); }, flat, 2);
             soak.run.trace.vllStateKHz = {1800000, 1400000};
             for (size_t i = 0; i < 11; ++i)
             {
                 soak.run.trace.vllStateTime[2 * i] = 1000000 * static_cast<tint64>(i) - (i >= 8 ? 300000 : 0);
                 soak.run.trace.vllStateTime[2 * i + 1] = i >= 8 ? 300000 : 0;
             }
             soak.run.cycles.bRead = true;
             soak.run.cycles.qwCycles = 19400000000;  // 1940 MHz over the 10 s busy
             return soak;
         },
         {"throttle-onset-cpu1:pass:7.7±0:0.30 s below it in the sample from 7.00 to 8.00 s (cpufreq's time_in_state",
          "throttle-time-cpu1:pass:0.3±0:below 1800 MHz", "cooling-fan:pass:3.5±0:above state 0, of 10.00 s",
          "clock-measured-cpu1:pass:1940±0:over the 10.00 s CPU 1 was busy; cpufreq's mean claim 1200 MHz"}},
        {"time_in_state and a cooling device that went back",
         [&] {
             SSoak soak = MakeCurves("cooling:fan", 0, 11, 1, [](size_t, double t) { return t < 5 ? 1000000 * t : 0; }, flat, 1);
             soak.run.trace.vllStateKHz = {1800000};
             for (size_t i = 0; i < 11; ++i)
             {
                 soak.run.trace.vllStateTime[i] = i == 4 ? 0 : 1000000 * static_cast<tint64>(i);
             }
             return soak;
         },
         {"throttle-onset-cpu1:pass:never:a change shorter than INTERVAL may be missed; cpufreq's "
          "time_in_state went back 4.00 s into the soak", "throttle-time-cpu1:pass:0±0:went back",
          "cooling-fan:skip:-:the counter went back 5.00 s into the soak, from 4000 to 0 ms"}},
        {"a fan that ran from the start bends nothing",
         [&] {
             return MakeCurves("temp:soc cooling:fan", 0, 61, 1,
                               [&](size_t k, double t) { return k == 0 ? Rise(40000, 60000, 10)(t) : 1000000 * (t + 60); }, flat);
         },
         {"temp-tau-soc:pass:10±0.2:it settled", "cooling-fan:pass:60±0:above state 0"}},
        {"a clock that time_in_state saw and no sample did",
         [&] {
             SSoak soak = MakeCurves("", 0, 61, 1, [](size_t, double) { return 0.0; }, flat, 2);
             soak.run.trace.vllStateKHz = {1200000, 600000};
             for (size_t i = 0; i < 61; ++i)
             {
                 soak.run.trace.vllStateTime[2 * i] = 970000 * static_cast<tint64>(i);  // 30 ms a second at 600 MHz
                 soak.run.trace.vllStateTime[2 * i + 1] = 30000 * static_cast<tint64>(i);
             }
             soak.asked.limits.limMinFreq = ParamsFrom("MIN_FREQ=1000", "60").limits.limMinFreq;
             return soak;
         },
         {"freq-min-cpu1:pass:600±0:(cpufreq's time_in_state)", "limit-freq-cpu1:fail:-:limit 1000 MHz",
          "throttle-time-cpu1:pass:1.8±0:below 1200 MHz"}},
        // Real boards' clocks and dies.
        {"no cpufreq at all",
         [&] {
             SSoak soak = MakeCurves("", 0, 11, 1, [](size_t, double) { return 0.0; }, flat);
             std::fill(soak.run.trace.vllKHz.begin(), soak.run.trace.vllKHz.end(), kMissing);
             soak.board.strStatesWhy = soak.board.strCurFreqWhy = "absent";
             return soak;
         },
         {"throttle-onset-cpu1:skip:-:cpufreq/stats/time_in_state is absent, and cpufreq/scaling_cur_freq is absent",
          "freq-min-cpu1:skip:-:scaling_cur_freq is absent"}},
        {"time_in_state read at every sample, never advancing, and no clock",
         [&] {
             SSoak soak = MakeCurves("", 0, 11, 1, [](size_t, double) { return 0.0; }, flat, 1);
             std::fill(soak.run.trace.vllKHz.begin(), soak.run.trace.vllKHz.end(), kMissing);
             soak.run.trace.vllStateKHz = {1800000};
             std::fill(soak.run.trace.vllStateTime.begin(), soak.run.trace.vllStateTime.end(), 5000000);
             return soak;
         },
         {"throttle-time-cpu1:skip:-:time_in_state was read at every sample but never advanced"}},
    });
}


// A governor's ramp or a wobble is no throttle; a cap the kernel put there is, however early.
TEST(SoakJudge, RampsWobblesAndCaps)
{
    JudgeRows({
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
             soak.board.vSensors[1].bOfCPU = true;
             for (size_t i = 0; i < soak.run.trace.nSamples; ++i)
             {
                 soak.run.trace.vllMaxKHz[i] = soak.run.trace.vllTimeUs[i] < 20000000 ? 1800000 : 1400000;
             }
             return soak;
         },
         {"throttle-onset-cpu1:pass:19.5±0:found by the kernel: cooling device cpufreq-cpu1 above state 0 from 19.50 s; scaling_max_freq",
          "throttle-time-cpu1:pass:40±0:below 1800 MHz", "temp-tau-soc:pass:10±0.3:before the throttle onset at 19.50 s"}},
        {"a cap that lands between the baseline and the first soak sample, as the governor ramps",
         [&] { return Capped([](double t) { return t < 0.5 ? 600000.0 : 1400000.0; }, {1800000, 1400000, 1000000, 600000}, {1800000, 1800000, 1800000, 1800000, 1800000, 1400000}); },
         {"throttle-onset-cpu1:pass:0±0:scaling_max_freq fell from 1800 MHz to 1400 MHz"}},
        {"no table: scaling_max_freq lowered as the load starts holds the clock at the cap from its first reading",
         [&] { return Capped([](double t) { return t < 0 ? 800000.0 : 1600000.0; }, {}, {2400000, 2400000, 2400000, 2400000, 2400000, 1600000}); },
         {"throttle-onset-cpu1:pass:0±0:scaling_max_freq fell from 2400 MHz to 1600 MHz"}},
        {"the same with a table, the baseline's last row unread",
         [&] { return Capped([](double) { return 1600000.0; }, {2400000, 1600000, 800000}, {2400000, 2400000, 2400000, 2400000, kMissing, 1600000}); },
         {"throttle-onset-cpu1:pass:0±0:scaling_max_freq fell from 2400 MHz to 1600 MHz"}},
        {"a maximum read at a boost clock early in the baseline, then at the table's top all through",
         [&] { return Capped([](double) { return 1800000.0; }, {1800000, 1400000, 1000000, 600000}, {2000000, 2000000, kMissing, kMissing, kMissing, 1800000}); },
         {"throttle-onset-cpu1:pass:never:never"}},
        // A firmware that caps in bursts shorter than a sample: 2 GHz and 1333 MHz from one
        // reading to the next once the zone reaches 80 C, 26 s in; cpufreq's time_in_state, where
        // kept, counts only the 2 GHz it set.
        {"a clock that flickers to 1333 MHz at 80 C: throttled from the first, each counted, the fit cut there",
         [&] { return Flickering(false); },
         {"throttle-onset-cpu1:pass:27±0:when a sample first saw it below", "throttle-time-cpu1:pass:32±0:below 2000 MHz",
          "temp-tau-soc:pass:20±0.5:before the throttle onset at 27.00 s", "temp-steady-soc:pass:95±1:had nothing bent it"}},
        {"the same with time_in_state, which never saw it",
         [&] { return Flickering(true); },
         {"throttle-onset-cpu1:pass:27±0:time_in_state, which counts only the clocks cpufreq set, saw none: a cap beneath cpufreq",
          "throttle-time-cpu1:pass:32±0:samples of scaling_cur_freq", "temp-tau-soc:pass:20±0.5:before the throttle onset at 27.00 s"}},
        {"no table, flickering from the first reading: the ceiling read twice, never two in a row",
         [&] { return Capped([](double t) { return std::llround(t) % 2 == 1 ? 1333000.0 : 2000000.0; }, {}, {2000000}); },
         {"throttle-onset-cpu1:pass:1±0:more than 3 %", "throttle-time-cpu1:pass:15±0:below 2000 MHz"}},
        {"a single reading an operating point down, 12 s in",
         [&] { return Capped([](double t) { return t == 12 ? 1400000.0 : 1800000.0; }, {1800000, 1400000, 1000000}, {1800000}); },
         {"throttle-onset-cpu1:pass:12±0:", "throttle-time-cpu1:pass:1±0:", "temp-tau-soc:pass:10±0.5:before the throttle onset at 12.00 s"}},
        {"a single reading at a boost clock sets no ceiling",
         [&] { return Capped([](double t) { return t == 12 ? 2000000.0 : 1800000.0; }, {}, {2400000}); },
         {"throttle-onset-cpu1:pass:never:ran at 1800 MHz", "throttle-time-cpu1:pass:0±0:"}},
        {"no table, an activity counter's clock 2.5 % under every other reading",
         [&] { return Capped([](double t) { return std::llround(t) % 2 == 1 ? 1755000.0 : 1800000.0; }, {}, {1800000}); },
         {"throttle-onset-cpu1:pass:never:", "throttle-time-cpu1:pass:0±0:"}},
        {"a clock that never reached its table's top",
         [&] { return Capped([](double) { return 1800000.0; }, {2000000, 1800000, 1400000}, {2000000}); },
         {"throttle-onset-cpu1:pass:never:ran at 1800 MHz", "throttle-time-cpu1:pass:0±0:"}},
    });
    // A further policy's clock, from a trace of no sensors: judged once, naming its CPUs.
    SSoak policy = Capped([](double t) { return t < 12 ? 1800000.0 : 1400000.0; }, {1800000, 1400000}, {1800000, 1800000, 1800000, 1800000, 1800000, 1800000});
    policy.asked.nCPU = 4;
    const std::vector<SCase> vClock = JudgePolicyClock(policy.asked, AnalyseSoak(policy.asked, policy.board, policy.run), "; the policy of CPUs 4-7");
    ASSERT_EQ(vClock.size(), 3u);
    EXPECT_EQ(vClock[1].strName, "throttle-onset-cpu4");
    EXPECT_EQ(vClock[1].strMeasurement, "12.00");
    EXPECT_EQ(vClock[2].strDetails.substr(vClock[2].strDetails.size() - 24), "; the policy of CPUs 4-7");
}

} // namespace
