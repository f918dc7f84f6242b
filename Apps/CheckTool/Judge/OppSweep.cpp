// SPDX-License-Identifier: MIT
// Judges an operating-point sweep: each point's step in power, and the coefficient of C·V²·f.
#include "OppSweep.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "CaseCatalogue.h"
#include "NumberText.h"

namespace
{

std::string Watts(double dUw)
{
    return Printed(3, dUw / 1e6) + " W";
}

std::string Celsius(double dMc)
{
    return Printed(1, dMc / 1000) + " C";
}

// "0, 1 and 2".
std::string CpuNames(const std::vector<int>& vnCPUs)
{
    std::string str;
    for (size_t i = 0; i < vnCPUs.size(); ++i)
    {
        str += (i == 0 ? "" : i + 1 == vnCPUs.size() ? " and " : ", ") + std::to_string(vnCPUs[i]);
    }
    return str;
}

// The clock's readings under the load: each must hold the point, or a cap moved it.
std::string ClockMoved(const SSweep& s, const SSweepPoint& pt)
{
    for (size_t i = pt.load.iFirst; i < pt.load.iEnd; ++i)
    {
        const tint64 llRead = s.trace.vllKHz[i];
        if (llRead != kMissing && !HoldsClock(llRead, pt.llKHz, s.vllOppKHz))
        {
            return "held at " + ShowFixed(pt.llKHz, 3, 0) + " MHz, the clock read " + ShowFixed(llRead, 3, 0) + " MHz " +
                   ShowSeconds(static_cast<double>(s.trace.vllTimeUs[i] - s.trace.vllTimeUs[pt.load.iFirst])) +
                   " s into the load (a thermal or firmware cap?)";
        }
    }
    return "";
}

// Readings of the meter and the zone over some rows, each pair read in one sample. The first
// row after each change is left out: a meter that averages still reads part of the other.
struct SPairs
{
    std::vector<double> vP, vT;
    bool bAllT = true;  // every reading of the meter had the zone's beside it

    void Add(const SSweep& s, const SRows& rows)
    {
        for (size_t i = rows.iFirst + 1; i < rows.iEnd; ++i)
        {
            const tint64 llP = s.trace.Value(i, static_cast<size_t>(s.iMeter));
            const tint64 llT = s.iZone < 0 ? kMissing : s.trace.Value(i, static_cast<size_t>(s.iZone));
            if (llP != kMissing)
            {
                vP.push_back(static_cast<double>(llP));
                vT.push_back(static_cast<double>(llT));
                bAllT = bAllT && llT != kMissing;
            }
        }
    }
    static double Mean(const std::vector<double>& v)
    {
        double d = 0;
        for (const double dx : v)
        {
            d += dx / static_cast<double>(v.size());
        }
        return d;
    }
    static SSpan Span(const std::vector<double>& v)
    {
        return SSpan{*std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end())};
    }
};

// Under the load CPU K is busy nine tenths of the time at least, where /proc/stat was read:
// else the tool ended, or was never continued.
std::string LoadMissed(const SSweep& s, const SSweepPoint& pt)
{
    const std::vector<tint64>& vBusy = s.trace.vllBusy;
    const std::vector<tint64>& vTotal = s.trace.vllTotal;
    const size_t iFirst = pt.load.iFirst + 1, iLast = pt.load.iEnd - 1;
    if (pt.load.Count() < 2 || vBusy[iFirst] == kMissing || vBusy[iLast] == kMissing || vTotal[iLast] <= vTotal[iFirst])
    {
        return "";
    }
    const double dShare = static_cast<double>(vBusy[iLast] - vBusy[iFirst]) / static_cast<double>(vTotal[iLast] - vTotal[iFirst]);
    return dShare >= 0.9 ? "" : "CPU " + s.strCPU + " was " + Printed(1, 100 * dShare) + " % busy under the load: the tool ended, or did not run";
}

// The smallest step between a meter's readings: its quantum, 1 µW (its unit) where it read one value.
double Quantum(const std::vector<double>& v)
{
    return static_cast<double>(std::max<tint64>(1, SmallestStep(std::vector<tint64>(v.begin(), v.end()))));
}

// The variance of readings about a line through (dT0, dP0) of slope dSlope, less dLess.
double Scatter(const SPairs& pairs, bool bT, double dP0, double dT0, double dSlope, double dLess)
{
    double dVar = 0;
    for (size_t i = 0; i < pairs.vP.size(); ++i)
    {
        const double dOff = pairs.vP[i] - dP0 - dSlope * ((bT ? pairs.vT[i] : 0) - dT0) - dLess;
        dVar += dOff * dOff / static_cast<double>(std::max<size_t>(1, pairs.vP.size() - 1));
    }
    return dVar;
}

// Why the readings do not follow one leakage, or "": under the load they grow with the zone as
// they did with the tool stopped, their own power a constant that does not drift in time (a
// meter that averages creeps up to each step); and at rest no faster than leakage can, twice
// every 10 K. dSlopeError: the rest's slope's standard error.
std::string OneLeakage(const SSweep& s, const SPointPower& p, const SPairs& rest, const SPairs& load, bool bT, double dSlopeError)
{
    const double dRestP = SPairs::Mean(rest.vP), dRestT = bT ? SPairs::Mean(rest.vT) : 0, dLoadT = bT ? SPairs::Mean(load.vT) : 0;
    const double dLoadP = SPairs::Mean(load.vP);
    double dLxx = 0, dLxy = 0;
    for (size_t i = 0; bT && i < load.vP.size(); ++i)
    {
        dLxx += (load.vT[i] - dLoadT) * (load.vT[i] - dLoadT);
        dLxy += (load.vT[i] - dLoadT) * (load.vP[i] - dLoadP);
    }
    const double dLoadSlope = dLxx > 0 ? dLxy / dLxx : p.dLeakUwPerMc;
    const double dVarLoadSlope = dLxx > 0 ? Scatter(load, bT, dLoadP, dLoadT, dLoadSlope, 0) / dLxx : 0;
    double dIxx = 0, dIxy = 0;
    const double dMidI = static_cast<double>(load.vP.size() - 1) / 2;
    for (size_t i = 0; i < load.vP.size(); ++i)
    {
        const double dOff = load.vP[i] - dRestP - p.dLeakUwPerMc * ((bT ? load.vT[i] : 0) - dRestT) - p.dStepUw;
        dIxx += (static_cast<double>(i) - dMidI) * (static_cast<double>(i) - dMidI);
        dIxy += (static_cast<double>(i) - dMidI) * dOff;
    }
    const double dDrift = dIxy / dIxx * static_cast<double>(load.vP.size() - 1);
    const bool bApart = (p.bLeakFitted && std::fabs(dLoadSlope - p.dLeakUwPerMc) >
                                              2 * std::sqrt(dSlopeError * dSlopeError + dVarLoadSlope) + 0.5 * std::fabs(p.dLeakUwPerMc) + 1) ||
                        std::fabs(dDrift) > std::max(p.dErrorUw, 0.05 * p.dStepUw);
    if (!bApart && p.dLeakUwPerMc - 2 * dSlopeError <= dRestP * std::log(2.0) / 10000)
    {
        return "";
    }
    if (!bT)
    {
        return s.strMeter + "'s readings under the load drifted " + Watts(dDrift) + " over the hold, and no zone was read beside "
               "them to tell the leakage its heat brings from a meter that averages over more than an INTERVAL";
    }
    return s.strMeter + " read " + Printed(1, p.dLeakUwPerMc) + " mW/K more as " + s.strZone + " rose with the tool stopped and " +
           Printed(1, dLoadSlope) + " mW/K under the load, drifting " + Watts(dDrift) + " from that line over the hold: one "
           "leakage grows alike in both, no faster than twice every 10 K, and the load's own power holds still; a meter "
           "that averages over more than an INTERVAL reads each change late, and a longer INTERVAL lets it settle";
}

// The board's power without the load is a curve in the die's temperature: its leakage. Read
// with the tool stopped before the load and again while the die cools after it, it spans the
// temperatures the load brought; the load's step is its readings less that line at theirs.
SPointPower MeasurePoint(const SSweep& s, const SSweepPoint& pt)
{
    SPointPower p;
    p.strWhy = !pt.strNotHeld.empty() ? pt.strNotHeld : ClockMoved(s, pt);
    p.strWhy = p.strWhy.empty() ? LoadMissed(s, pt) : p.strWhy;
    SPairs rest, load;
    rest.Add(s, pt.rest);
    rest.Add(s, pt.after);
    load.Add(s, pt.load);
    if (p.strWhy.empty() && (rest.vP.empty() || load.vP.size() < 2))
    {
        p.strWhy = s.strMeter + " was not read " + (rest.vP.empty() ? "with the load held still" : "under the load, but once or never");
    }
    if (!p.strWhy.empty())
    {
        return p;
    }
    const bool bT = s.iZone >= 0 && rest.bAllT && load.bAllT;
    p.bFollowed = bT;
    const double dRestP = SPairs::Mean(rest.vP), dRestT = bT ? SPairs::Mean(rest.vT) : 0, dLoadT = bT ? SPairs::Mean(load.vT) : 0;
    double dSxx = 0, dSxy = 0;
    for (size_t i = 0; bT && i < rest.vP.size(); ++i)
    {
        dSxx += (rest.vT[i] - dRestT) * (rest.vT[i] - dRestT);
        dSxy += (rest.vT[i] - dRestT) * (rest.vP[i] - dRestP);
    }
    p.bLeakFitted = dSxx > 0;
    p.dLeakUwPerMc = p.bLeakFitted ? dSxy / dSxx : 0;
    p.dStepUw = SPairs::Mean(load.vP) - (dRestP + p.dLeakUwPerMc * (dLoadT - dRestT));
    p.restUw = SPairs::Span(rest.vP);
    p.loadUw = SPairs::Span(load.vP);
    p.restMc = bT ? SPairs::Span(rest.vT) : SSpan();
    p.loadMc = bT ? SPairs::Span(load.vT) : SSpan();
    // Twice the step's standard error: the readings' scatter about the line, and the line's
    // slope, which moves the step by as much as the load's temperatures lie from the rest's.
    const double dVarRest = Scatter(rest, bT, dRestP, dRestT, p.dLeakUwPerMc, 0);
    const double dVarSlope = p.bLeakFitted ? dVarRest / dSxx : 0;
    const double dVarLoad = Scatter(load, bT, dRestP, dRestT, p.dLeakUwPerMc, p.dStepUw);
    p.dErrorUw = 2 * std::sqrt(dVarRest / static_cast<double>(rest.vP.size()) + dVarLoad / static_cast<double>(load.vP.size()) +
                               dVarSlope * (dLoadT - dRestT) * (dLoadT - dRestT));
    const double dResolution = std::max(Quantum(rest.vP), p.dErrorUw);
    const std::string strApart = OneLeakage(s, p, rest, load, bT, std::sqrt(dVarSlope));
    if (!strApart.empty())
    {
        p.strWhy = strApart;
    }
    else if (p.dStepUw < dResolution)
    {
        p.strWhy = "the load added " + Watts(p.dStepUw) + ", less than " + s.strMeter + " resolves here (" + Watts(dResolution) +
                   ": its quantum, or twice the step's standard error)";
    }
    p.bKnown = p.strWhy.empty();
    return p;
}

// Pdyn = C·V²·f through the origin, in µW with f in MHz and V in volts, by least squares.
SCoefficient FitCoefficient(const SSweep& s, const std::vector<SPointPower>& vPower)
{
    SCoefficient c;
    double dSxx = 0, dSxp = 0, dSxxEE = 0, dSee = 0, dSp = 0;
    size_t nPower = 0, nFollowed = 0, nOdd = 0;
    std::vector<std::pair<double, double>> vXP;
    for (size_t i = 0; i < s.vPoints.size(); ++i)
    {
        const tint64 llUv = s.vPoints[i].llMicroVolts;
        nPower += vPower[i].bKnown ? 1U : 0U;
        nFollowed += vPower[i].bKnown && vPower[i].bFollowed ? 1U : 0U;
        // Without the zone, the leakage the load's heat brings stays in its power. A CPU's rail
        // lies between 0.2 and 3 V: anything else is another supply's, or garbage.
        const bool bVolts = llUv != kMissing && llUv >= 200000 && llUv <= 3000000;
        nOdd += llUv != kMissing && !bVolts ? 1U : 0U;
        if (vPower[i].bKnown && vPower[i].bFollowed && bVolts)
        {
            const double dVolts = static_cast<double>(llUv) / 1e6;
            const double dX = static_cast<double>(s.vPoints[i].llKHz) / 1000 * dVolts * dVolts;
            vXP.emplace_back(dX, vPower[i].dStepUw);
            dSxx += dX * dX;
            dSxp += dX * vPower[i].dStepUw;
            dSxxEE += dX * dX * vPower[i].dErrorUw * vPower[i].dErrorUw;
            dSee += vPower[i].dErrorUw * vPower[i].dErrorUw / 4;
            dSp += vPower[i].dStepUw;
        }
    }
    const std::string strOdd = nOdd == 0 ? "" : "; " + std::to_string(nOdd) + " voltages outside 0.2 to 3 V left out";
    c.nPoints = vXP.size();
    if (c.nPoints < 2)
    {
        c.strWhy = "needs two operating points with a voltage and a power measured with the leakage apart, and has " +
                   std::to_string(c.nPoints) + " (" + std::to_string(nPower) + " with a power, " + std::to_string(nFollowed) +
                   " of them with a zone's temperature to follow the leakage by; voltages looked for in " + s.strVolts + ")" + strOdd;
        return c;
    }
    c.dValue = dSxp / dSxx;
    c.dError = std::sqrt(dSxxEE) / dSxx;
    double dSse = 0;
    for (const auto& xp : vXP)
    {
        dSse += (xp.second - c.dValue * xp.first) * (xp.second - c.dValue * xp.first);
    }
    c.dRmsUw = std::sqrt(dSse / static_cast<double>(c.nPoints));
    // The points lie on C·V²·f within their own errors, or within 5 % of their mean: else the
    // voltages are not the rail the CPU draws from, or something else changed with the clock.
    const double dFits = std::max(3 * std::sqrt(dSee / static_cast<double>(c.nPoints)), 0.05 * dSp / static_cast<double>(c.nPoints));
    c.bKnown = c.dRmsUw <= dFits;
    c.strWhy = c.bKnown ? strOdd
                        : "C·V²·f does not describe the " + std::to_string(c.nPoints) + " points: " + Printed(1, c.dRmsUw / 1000) +
                              " mW rms off the fit, more than " + Printed(1, dFits / 1000) +
                              " mW (their own errors, or 5 % of their power); are " + s.strVolts + "'s voltages the CPU's rail?" + strOdd;
    return c;
}

std::string PointDetails(const SSweep& s, const SSweepPoint& pt, const SPointPower& p)
{
    std::string str = "the load adds " + Watts(p.dStepUw) + " ± " + Printed(3, p.dErrorUw / 1e6) + " at " + ShowFixed(pt.llKHz, 3, 0) + " MHz";
    if (pt.llMicroVolts != kMissing && pt.llMicroVolts > 0)
    {
        str += " and " + ShowFixed(pt.llMicroVolts, 6, 2) + " V";
    }
    auto spanned = [](const SSpan& w, const SSpan& t, bool bT) {
        return Watts(w.dLow) + " to " + Watts(w.dHigh) + (bT ? " at " + Celsius(t.dLow) + " to " + Celsius(t.dHigh) : "");
    };
    str += ": " + s.strMeter + " read " + spanned(p.loadUw, p.loadMc, p.bFollowed) + " under it, " +
           spanned(p.restUw, p.restMc, p.bFollowed) + " with the tool stopped before and after";
    if (!p.bFollowed || !p.bLeakFitted)
    {
        return str + (!p.bFollowed ? "; on the means, leakage and all: no zone was read beside the meter to follow it by"
                                   : "; on the means: " + s.strZone + " did not move, nor did the leakage");
    }
    return str + "; the leakage its heat brings, " + Printed(2, p.dLeakUwPerMc) + " mW/K on " + s.strZone +
           " with the tool stopped, is left out";
}

// A cluster's point: what the load added with each count of its CPUs busy, the line through
// them, and one core's power from it, its leakage left out as for one CPU's.
SPointPower MeasureCluster(const SSweep& s, const SSweepPoint& pt, std::vector<SClusterFit>& vClusters)
{
    std::vector<double> vStep, vError;
    SPointPower core;
    bool bFollowed = true;
    if (!pt.strNotHeld.empty() || pt.vBusy.empty())
    {
        core = MeasurePoint(s, pt);
        core.bKnown = false;
        core.strWhy = pt.strNotHeld.empty() ? "no CPU of the policy was brought in" : pt.strNotHeld;
        vClusters.push_back(SClusterFit());
        vClusters.back().strWhy = core.strWhy;
        return core;
    }
    for (size_t k = 0; k < pt.vBusy.size(); ++k)
    {
        SSweepPoint busy = pt;
        busy.load = pt.vBusy[k];
        const SPointPower p = MeasurePoint(s, busy);
        if (!p.bKnown)
        {
            core = p;
            core.strWhy = "with " + std::to_string(k + 1) + " of CPUs " + CpuNames(s.vnBusy) + " busy: " + p.strWhy;
            vClusters.push_back(SClusterFit());
            vClusters.back().strWhy = core.strWhy;
            return core;
        }
        core = p;
        bFollowed = bFollowed && p.bFollowed;
        vStep.push_back(p.dStepUw);
        vError.push_back(p.dErrorUw);
    }
    vClusters.push_back(FitCluster(vStep, vError));
    // The coefficient is fitted to one core's power, each of whose steps left its leakage out.
    core.bFollowed = bFollowed;
    core.dStepUw = vClusters.back().dCoreUw;
    core.dErrorUw = vClusters.back().dCoreErrorUw;
    return core;
}

// power-opp (the slope: one core) and power-cluster (the intercept: the shared part) at a
// point of a cluster's sweep.
void ClusterCases(const SSweep& s, const SSweepPoint& pt, const SPointPower& p, const SClusterFit& f, std::vector<SCase>& vCases)
{
    const std::string strOf = "cpu" + s.strCPU + "-" + MhzName(pt.llKHz);
    if (!p.bKnown || !f.bKnown)
    {
        const std::string strWhy = !p.bKnown ? p.strWhy : f.strWhy;
        vCases.push_back(Skipped(ECase::PowerOpp, strOf, strWhy));
        vCases.push_back(Skipped(ECase::PowerCluster, strOf, strWhy));
        return;
    }
    std::string strSteps;
    for (size_t k = 0; k < f.vStepUw.size(); ++k)
    {
        strSteps += (k == 0 ? "" : ", ") + Watts(f.vStepUw[k]) + " ± " + Printed(3, f.vErrorUw[k] / 1e6);
    }
    const std::string strLine = " of a line through what the load added with 1 to " + std::to_string(f.vStepUw.size()) + " of CPUs " +
                                CpuNames(s.vnBusy) + " busy at " + ShowFixed(pt.llKHz, 3, 0) + " MHz (" + strSteps +
                                "), each with the leakage its heat brings left out, the others' tools stopped";
    vCases.push_back(Measured(ECase::PowerOpp, strOf, Printed(3, f.dCoreUw / 1e6),
                              " ± " + Printed(3, f.dCoreErrorUw / 1e6) + ", one core's power: the slope" + strLine));
    vCases.push_back(Measured(ECase::PowerCluster, strOf, Printed(3, f.dSharedUw / 1e6),
                              " ± " + Printed(3, f.dSharedErrorUw / 1e6) + ", the cluster's shared part beyond rest: the intercept" + strLine));
}

// The Energy Model's assumption, that each further busy CPU adds the same, over every point
// where two steps after the first could be compared: the worst step in the details.
SCase JudgeLinear(const SSweep& s, const SSweepAnalysis& a)
{
    const std::string strCPU = "cpu" + s.strCPU;
    const SClusterFit* pWorst = nullptr;
    size_t iWorst = 0;
    std::string strWhy;
    for (size_t i = 0; i < a.vClusters.size(); ++i)
    {
        const SClusterFit& f = a.vClusters[i];
        strWhy = strWhy.empty() ? (f.bKnown ? f.strLinearWhy : f.strWhy) : strWhy;
        const double dOff = f.bLinearKnown ? std::fabs(f.dWorstUw - f.dOthersUw) / std::max(1.0, f.dWorstErrorUw) : -1;
        if (f.bLinearKnown && (pWorst == nullptr || dOff > std::fabs(pWorst->dWorstUw - pWorst->dOthersUw) / std::max(1.0, pWorst->dWorstErrorUw)))
        {
            pWorst = &f;
            iWorst = i;
        }
    }
    if (pWorst == nullptr)
    {
        return Skipped(ECase::EnergyModelLinear, strCPU, strWhy);
    }
    const bool bLinear = std::all_of(a.vClusters.begin(), a.vClusters.end(), [](const SClusterFit& f) { return !f.bLinearKnown || f.bLinear; });
    const SClusterFit& f = *pWorst;
    return Verdict(ECase::EnergyModelLinear, strCPU, bLinear,
                   "the worst step, from " + std::to_string(f.nWorst) + " to " + std::to_string(f.nWorst + 1) + " CPUs busy at " +
                       ShowFixed(s.vPoints[iWorst].llKHz, 3, 0) + " MHz, added " + Watts(f.dWorstUw) + " where the others added " +
                       Watts(f.dOthersUw) + " on the mean" + (bLinear ? ", within " : ", more than ") + Printed(3, f.dWorstErrorUw / 1e6) +
                       " W (three standard errors of the two, or 3 % of a core's power) apart" + (bLinear ? "" : ": the Energy Model's one cost per busy CPU does not hold here"));
}

} // namespace

bool HoldsClock(tint64 llReadKHz, tint64 llKHz, const std::vector<tint64>& vllOppKHz)
{
    const tint64 llOff = std::llabs(llReadKHz - llKHz);
    bool bOther = false;
    for (const tint64 llOther : vllOppKHz)
    {
        if (llOther != llKHz)
        {
            bOther = true;
            if (std::llabs(llReadKHz - llOther) <= llOff)
            {
                return false;
            }
        }
    }
    return bOther || llOff * 50 <= llKHz;
}

int ChooseLeakZone(const SSoakAnalysis& soak)
{
    int iZone = -1;
    tint64 llMost = 0;
    for (size_t k = 0; k < soak.vSensors.size(); ++k)
    {
        const SSensorAnalysis& z = soak.vSensors[k];
        if (z.sensor.eKind == ESensorKind::Temp && !z.bImplausible && z.soak.nGot > 0 && z.soak.llHigh - z.from.llValue > llMost)
        {
            llMost = z.soak.llHigh - z.from.llValue;
            iZone = static_cast<int>(k);
        }
    }
    return iZone;
}

SSweepAnalysis AnalyseSweep(const SSweep& sweep)
{
    SSweepAnalysis a;
    if (!sweep.strWhy.empty())
    {
        return a;
    }
    for (const SSweepPoint& pt : sweep.vPoints)
    {
        if (sweep.vnBusy.size() < 2)
        {
            a.vPoints.push_back(MeasurePoint(sweep, pt));
            continue;
        }
        a.vPoints.push_back(MeasureCluster(sweep, pt, a.vClusters));
    }
    a.coefficient = FitCoefficient(sweep, a.vPoints);
    return a;
}

std::vector<SCase> JudgeSweep(int nCPU, const SSweep& s, const SSweepAnalysis& a)
{
    const std::string strCPU = CpuOf(nCPU);
    std::vector<SCase> vCases;
    if (!s.strWhy.empty())
    {
        vCases.push_back(Skipped(ECase::DynamicPowerCoefficient, strCPU, "no sweep: " + s.strWhy));
        vCases.push_back(Skipped(ECase::OppRestore, strCPU, "the sweep wrote nothing"));
        return vCases;
    }
    for (size_t i = 0; i < s.vPoints.size(); ++i)
    {
        const SSweepPoint& pt = s.vPoints[i];
        const SPointPower& p = a.vPoints[i];
        const std::string strOf = strCPU + "-" + MhzName(pt.llKHz);
        if (i < a.vClusters.size())
        {
            ClusterCases(s, pt, p, a.vClusters[i], vCases);
            continue;
        }
        SCase point = p.bKnown ? Measured(ECase::PowerOpp, strOf, Printed(3, p.dStepUw / 1e6), "") : Skipped(ECase::PowerOpp, strOf, p.strWhy);
        point.strDetails = p.bKnown ? PointDetails(s, pt, p) : point.strDetails;
        vCases.push_back(point);
    }
    const SCoefficient& c = a.coefficient;
    const std::string strDt = s.llDtCoefficient == kMissing ? "; the device tree gives none"
                                                            : "; the device tree gives " + std::to_string(s.llDtCoefficient);
    SCase coefficient = c.bKnown ? Measured(ECase::DynamicPowerCoefficient, strCPU, Printed(0, c.dValue), "")
                                 : Skipped(ECase::DynamicPowerCoefficient, strCPU, c.strWhy + strDt);
    coefficient.strDetails = c.bKnown ? "C in C·V²·f, ± " + Printed(1, c.dError) + " from the points' own, over " + std::to_string(c.nPoints) +
                                            " operating points, voltages from " + s.strVolts + ": residual " + Printed(1, c.dRmsUw / 1000) +
                                            " mW rms" + c.strWhy + strDt
                                      : coefficient.strDetails;
    vCases.push_back(coefficient);
    if (!a.vClusters.empty())
    {
        vCases.push_back(JudgeLinear(s, a));
    }
    vCases.push_back(s.strRestore.empty()
                         ? Verdict(ECase::OppRestore, strCPU, true, "scaling_min_freq and scaling_max_freq read back as before the sweep: " + s.strBefore)
                         : Verdict(ECase::OppRestore, strCPU, false, s.strRestore + ", where before the sweep: " + s.strBefore));
    return vCases;
}

std::string SweepLines(int nCPU, const SSweepAnalysis& a)
{
    return a.coefficient.bKnown
               ? "hogspin-dt,cpu" + std::to_string(nCPU) + ",dynamic-power-coefficient=" + Printed(0, a.coefficient.dValue) + "\n"
               : "";
}
