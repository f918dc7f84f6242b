// SPDX-License-Identifier: MIT
// Tests of the operating-point sweep's judge: boards whose CPU draws C·V²·f and leaks as it heats.
#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "CaseCatalogue.h"
#include "OppSweep.h"

namespace
{

// A CPU on a board: a die pole and a board pole, leakage that doubles every dDoublingK above
// ambient, and what does not leak; the sweep as the program would have recorded it.
struct SBoard
{
    const char* pszName;
    double dCoefficient = 530;  // µW/MHz/V²
    double dLeakW = 0.4;        // at ambient
    double dDoublingK = 25;
    double dOtherW = 0.3;
    double dDieKPerW = 3, dDieTau = 1.5;    // K/W, s
    double dBoardKPerW = 7, dBoardTau = 60;
    int nMeterLag = 1;     // samples a meter averages over
    bool bZone = true;
    bool bVolts = true;
    int iCapped = -1;      // a point whose clock a cap lowers halfway through the load
    int iNoRest = -1;      // a point whose meter could not be read with the load held still
    const char* pszNotHeld = nullptr;  // the lowest point's, where the kernel refused it
    const char* pszRestore = "";
    const char* pszWhy = "";  // no sweep at all
    std::map<std::string, const char*> mapResults = {};  // the cases' results: "pass", "skip: TEXT", "fail: TEXT"
    int nNoiseMw = 0;  // a meter's wobble, up to so much either way
    int iToolDies = -1;   // a point halfway through whose load the tool ends
    tint64 llRailUv = 0;  // every point's voltage as the table gives it, another rail's
    tint64 llTopUv = 0;   // the top point's, as the table gives it
    // A cluster: so many cores, each drawing the coefficient's power, and a shared part (its L2,
    // its interconnect) of its own coefficient while any is busy; the last core adding
    // dLastExtra of its power more (a step the Energy Model's one cost per CPU misses).
    int nCores = 1;
    double dSharedCoefficient = 0;
    double dLastExtra = 0;
};

const std::vector<std::pair<tint64, tint64>> kOpps = {{600000, 800000}, {1000000, 900000}, {1400000, 1000000}, {1800000, 1100000}};

double Truth(const SBoard& b, size_t i, double dCoefficient = -1)
{
    const double dVolts = static_cast<double>(kOpps[i].second) / 1e6;
    return (dCoefficient < 0 ? b.dCoefficient : dCoefficient) * dVolts * dVolts * static_cast<double>(kOpps[i].first) / 1000;  // µW
}

// What the load draws at point i with nBusy cores busy.
double Drawn(const SBoard& b, size_t i, int nBusy)
{
    const double dExtra = nBusy == b.nCores && b.nCores > 1 ? b.dLastExtra : 0;
    return nBusy == 0 ? 0 : (nBusy + dExtra) * Truth(b, i) + Truth(b, i, b.dSharedCoefficient);
}

// Each point: 4 samples at rest, 16 under the load, 4 at rest, half a second apart, in 50 ms steps.
SSweep Simulate(const SBoard& b)
{
    SSweep s;
    s.strWhy = b.pszWhy;
    s.iMeter = 0;
    s.iZone = b.bZone ? 1 : -1;
    s.strCPU = "1";
    for (int n = 0; n < b.nCores; ++n)
    {
        s.vnBusy.push_back(1 + n);
    }
    s.strMeter = "ina3221-VDD_CPU";
    s.strZone = b.bZone ? "cpu-thermal" : "";
    s.strVolts = "/sys/kernel/debug/opp/cpu1";
    s.strBefore = "600000 and 1800000 kHz";
    s.strRestore = b.pszRestore;
    for (auto it = kOpps.rbegin(); it != kOpps.rend(); ++it)
    {
        s.vllOppKHz.push_back(it->first);
    }
    EXPECT_TRUE(s.trace.Reserve(kOpps.size() * static_cast<size_t>(8 + 16 * b.nCores), 2));
    double dDie = 0, dBoard = 0, tUs = 0;
    std::vector<double> vRecent;
    for (size_t i = 0; i < kOpps.size() && s.strWhy.empty(); ++i)
    {
        SSweepPoint pt;
        pt.llKHz = kOpps[i].first;
        pt.llMicroVolts = !b.bVolts ? kMissing : b.llRailUv != 0 ? b.llRailUv : b.llTopUv != 0 && i == kOpps.size() - 1 ? b.llTopUv : kOpps[i].second;
        pt.strNotHeld = i == 0 && b.pszNotHeld != nullptr ? b.pszNotHeld : "";
        // At rest, with 1 to nCores busy (the last is the load), and at rest again.
        pt.vBusy.resize(static_cast<size_t>(b.nCores));
        std::vector<std::pair<SRows*, int>> vPhases = {{&pt.rest, 0}};
        for (int n = 1; n <= b.nCores; ++n)
        {
            vPhases.emplace_back(n == b.nCores ? &pt.load : &pt.vBusy[static_cast<size_t>(n - 1)], n);
        }
        vPhases.emplace_back(&pt.after, 0);
        for (const auto& phase : vPhases)
        {
            SRows* pRows = phase.first;
            pRows->iFirst = s.trace.nSamples;
            for (int k = 0; k < (phase.second > 0 ? 16 : 4) && pt.strNotHeld.empty(); ++k)
            {
                const bool bCapped = static_cast<int>(i) == b.iCapped && pRows == &pt.load && k >= 8;
                const bool bLoaded = phase.second > 0 && !(static_cast<int>(i) == b.iToolDies && k >= 8);
                double dPower = 0;
                for (int step = 0; step < 10; ++step)
                {
                    const double dDyn = bLoaded ? Drawn(b, bCapped ? i - 1 : i, phase.second) / 1e6 : 0;
                    dPower = b.dOtherW + b.dLeakW * std::exp2((dDie + dBoard) / b.dDoublingK) + dDyn;
                    dDie = b.dDieKPerW * dPower + (dDie - b.dDieKPerW * dPower) * std::exp(-0.05 / b.dDieTau);
                    dBoard = b.dBoardKPerW * dPower + (dBoard - b.dBoardKPerW * dPower) * std::exp(-0.05 / b.dBoardTau);
                }
                vRecent.push_back(dPower);
                double dMeter = 0;
                for (int n = 0; n < b.nMeterLag; ++n)
                {
                    dMeter += vRecent[vRecent.size() - 1 - static_cast<size_t>(std::min<int>(n, static_cast<int>(vRecent.size()) - 1))];
                }
                const size_t iRow = s.trace.nSamples++;
                tUs += 500000;
                s.trace.vllTimeUs[iRow] = static_cast<tint64>(tUs);
                s.trace.vllTotal[iRow] = static_cast<tint64>(tUs);
                s.trace.vllBusy[iRow] = (iRow == 0 ? 0 : s.trace.vllBusy[iRow - 1]) + (bLoaded ? 500000 : 0);
                s.trace.vllKHz[iRow] = bCapped ? kOpps[i - 1].first : pt.llKHz;
                const bool bGone = static_cast<int>(i) == b.iNoRest && pRows != &pt.load;
                const tint64 llNoise = b.nNoiseMw == 0 ? 0 : (static_cast<tint64>(iRow) * 7919 % (2 * b.nNoiseMw + 1) - b.nNoiseMw) * 1000;
                s.trace.vllValues[iRow * 2] = bGone ? kMissing : std::llround(dMeter / b.nMeterLag * 1e6) + llNoise;
                s.trace.vllValues[iRow * 2 + 1] = std::llround((25 + dDie + dBoard) * 1000);
            }
            pRows->iEnd = s.trace.nSamples;
        }
        pt.vBusy.back() = pt.load;
        s.vPoints.push_back(pt);
    }
    return s;
}

TEST(OppSweep, TheCoefficientLeavesTheLeakageOfItsHeatOut)
{
    const SBoard aBoards[] = {
        {"a die and a board that heat; leakage doubling every 25 K"},
        {"a hot, leaky SoC: 12 K/W, doubling every 15 K", 530, 0.3, 15, 0.1, 4, 1, 8, 40},
        {"a meter that averages two readings", 530, 0.4, 25, 0.3, 3, 1.5, 7, 60, 2},
        {"a low coefficient on a cool board", 95, 0.2, 25, 0.3, 1, 0.5, 3, 30},
        // A meter that averages over longer than an INTERVAL reads the load after it stopped.
        {"a meter that averages six readings", 530, 0.4, 25, 0.3, 3, 1.5, 7, 60, 6, true, true, -1, -1, nullptr, "", "",
         {{"power-opp-cpu1-600", "skip: ina3221-VDD_CPU read 63.5 mW/K more as cpu-thermal rose with the tool stopped and 112.4 mW/K "
                                 "under the load, drifting 0.046 W from that line over the hold"},
          {"power-opp-cpu1-1000", "skip: ina3221-VDD_CPU read 163.7 mW/K"},
          {"power-opp-cpu1-1400", "skip: ina3221-VDD_CPU read 215.7 mW/K"},
          {"power-opp-cpu1-1800", "skip: ina3221-VDD_CPU read 252.5 mW/K"},
          {"dynamic-power-coefficient-cpu1", "skip: needs two operating points"}}},
        {"the tool ends halfway through a point's load", 530, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1, -1, nullptr, "", "",
         {{"power-opp-cpu1-1400", "skip: CPU 1 was 42.9 % busy under the load: the tool ended, or did not run"}}, 0, 2},
        {"a table that gives another rail's voltage, the same at every point", 530, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1,
         -1, nullptr, "", "", {{"dynamic-power-coefficient-cpu1", "skip: C·V²·f does not describe"}}, 0, -1, 900000},
        {"a table whose top voltage is garbage", 530, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1, -1, nullptr, "", "", {}, 0, -1, 0,
         4294967295},
        {"a meter that wobbles by up to 15 mW", 530, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1, -1, nullptr, "", "", {}, 15},
        // Figures within what they say they are, and a step lost in the noise, or a line that
        // noise tilts, is no figure.
        {"a meter that wobbles by up to 150 mW", 530, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1, -1, nullptr, "", "", {}, 150},
        {"a meter that wobbles by up to 400 mW", 530, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1, -1, nullptr, "", "",
         {{"power-opp-cpu1-600", "skip: ina3221-VDD_CPU read -96.7 mW/K more as cpu-thermal rose with the tool stopped and 131.6 "
                                 "mW/K under the load, drifting 0.264 W"},
          {"power-opp-cpu1-1000", "skip: ina3221-VDD_CPU read 232.0 mW/K"},
          {"power-opp-cpu1-1800", "skip: ina3221-VDD_CPU read -59.2 mW/K"},
          {"dynamic-power-coefficient-cpu1", "skip: needs two operating points"}},
         400},
        // Clusters: each point's line through 1, 2, ... busy cores, and whether each further
        // core adds the same.
        {"three cores of 100 uW/MHz/V2 and a shared part of 60", 100, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1, -1, nullptr, "",
         "", {}, 0, -1, 0, 0, 3, 60},
        {"three such cores on a meter that wobbles by up to 15 mW", 100, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1, -1, nullptr,
         "", "", {}, 15, -1, 0, 0, 3, 60},
        {"four cores of 400, the last drawing a fifth more: no one cost per busy CPU", 400, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true,
         -1, -1, nullptr, "", "",
         {{"energy-model-linear-cpu1", "fail: the worst step, from 3 to 4 CPUs busy at "},
          {"power-opp-cpu1-600", "pass"}},
         0, -1, 0, 0, 4, 0, 0.2},
        // Three cores: the third step against the second alone, not against a slope fitted
        // to both, which would halve the difference.
        {"three cores of 400, the third drawing 6 % more", 400, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1, -1, nullptr, "", "",
         {{"energy-model-linear-cpu1", "fail: the worst step, from 2 to 3 CPUs busy at "}, {"power-opp-cpu1-600", "pass"}}, 0, -1, 0, 0, 3, 0,
         0.06},
        {"three cores of 400, the third drawing 1 % more: within what a meter tells", 400, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1,
         -1, nullptr, "", "", {}, 0, -1, 0, 0, 3, 0, 0.01},
        {"two cores: one step after the first, nothing to compare it with", 100, 0.4, 25, 0.3, 3, 1.5, 7, 60, 1, true, true, -1, -1,
         nullptr, "", "", {{"energy-model-linear-cpu1", "skip: two of the policy's CPUs were listed"}}, 0, -1, 0, 0, 2, 60},
    };
    for (const SBoard& b : aBoards)
    {
        SCOPED_TRACE(b.pszName);
        const SSweep s = Simulate(b);
        const SSweepAnalysis a = AnalyseSweep(s);
        const std::vector<SCase> vCases = JudgeSweep(1, s, a);
        for (const SCase& c : vCases)
        {
            const SCaseKind* pKind = FindCaseKind(c.strName);
            ASSERT_NE(pKind, nullptr) << c.strName;
            EXPECT_EQ(c.strUnits, c.strMeasurement.empty() ? "" : pKind->pszUnits) << c.strName;
        }
        const size_t nCluster = b.nCores > 1 ? kOpps.size() + 1 : 0;  // power-cluster at each, and the linearity
        ASSERT_EQ(vCases.size(), *b.pszWhy == '\0' ? kOpps.size() + 2 + nCluster : 2u);
        std::map<std::string, double> mapTruth;  // each point's per core, and its shared part
        for (size_t i = 0; i < kOpps.size(); ++i)
        {
            mapTruth["power-opp-cpu1-" + MhzName(kOpps[i].first)] = Truth(b, i);
            mapTruth["power-cluster-cpu1-" + MhzName(kOpps[i].first)] = Truth(b, i, b.dSharedCoefficient);
        }
        for (size_t i = 0; i < vCases.size(); ++i)
        {
            const SCase& c = vCases[i];
            const auto it = b.mapResults.find(c.strName);
            const std::string strGot = c.eResult == EResult::Pass ? "pass" : (c.eResult == EResult::Skip ? "skip: " : "fail: ") + c.strDetails;
            const std::string strWant = it == b.mapResults.end() ? "pass" : it->second;
            EXPECT_EQ(strGot.substr(0, strWant.size()), strWant) << c.strName << ": " << c.strDetails;
            EXPECT_TRUE(strWant != "pass" || strGot == "pass") << c.strName << ": " << c.strDetails;
            // Each point's power within 2 % of C·V²·f (a shared part within 10 %), and the
            // coefficient within 1 %, or within what the meter's noise lets them say (its
            // "± E" in the details): with a zone to follow the leakage by.
            const auto itTruth = mapTruth.find(c.strName);
            if (c.eResult == EResult::Pass && itTruth != mapTruth.end() && b.bZone && b.dLastExtra == 0)
            {
                const bool bShared = c.strName.compare(0, 14, "power-cluster-") == 0;
                const size_t nPm = c.strDetails.find(" ± ");
                const double dSaid = nPm == std::string::npos ? 0 : std::stod(c.strDetails.substr(nPm + strlen(" ± "))) * 1e6;
                const double dError = b.nCores > 1 ? dSaid : a.vPoints[i].dErrorUw;  // one CPU's points come first, in order
                EXPECT_NEAR(std::stod(c.strMeasurement) * 1e6, itTruth->second, std::max(itTruth->second * (bShared ? 0.1 : 0.02), dError))
                    << c.strName << ": " << c.strDetails;
            }
        }
        if (a.coefficient.bKnown)
        {
            // A board whose cores do not add alike has no one coefficient to find.
            EXPECT_TRUE(b.dLastExtra > 0 || std::fabs(a.coefficient.dValue - b.dCoefficient) <= std::max(b.dCoefficient * 0.01, a.coefficient.dError))
                << a.coefficient.dValue;
            const auto itCoefficient = std::find_if(vCases.begin(), vCases.end(), [](const SCase& c) { return c.strName == "dynamic-power-coefficient-cpu1"; });
            ASSERT_NE(itCoefficient, vCases.end());
            EXPECT_EQ(SweepLines(1, a), "hogspin-dt,cpu1,dynamic-power-coefficient=" + itCoefficient->strMeasurement + "\n");
        }
    }
}

// A clock read holds a point when it lies nearer to it than to any other; a name holds no dot.
TEST(OppSweep, ClocksHeldAndNamed)
{
    const std::vector<tint64> vOpps = {1800000, 1400000, 1000000};
    const struct
    {
        tint64 llRead, llKHz;
        std::vector<tint64> vOpps;
        bool bHolds;
    } aRows[] = {
        {1800000, 1800000, vOpps, true},  {1600001, 1800000, vOpps, true},  {1600000, 1800000, vOpps, false},
        {1399000, 1400000, vOpps, true},  {1000000, 1400000, vOpps, false}, {1764000, 1800000, {1800000}, true},
        {1763999, 1800000, {1800000}, false},
    };
    for (const auto& r : aRows)
    {
        EXPECT_EQ(HoldsClock(r.llRead, r.llKHz, r.vOpps), r.bHolds) << r.llRead << " for " << r.llKHz;
    }
    EXPECT_EQ(MhzName(1200000), "1200");
    EXPECT_EQ(MhzName(403200), "403_2");
    EXPECT_EQ(MhzName(1036800), "1036_8");
}

} // namespace
