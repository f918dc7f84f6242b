// SPDX-License-Identifier: MIT
// The soak's analysis, computed once: series, fits, the throttle, the bend and the meter's load.
#include "SoakAnalysis.h"

#include "SoakLines.h"
#include "SoakThrottle.h"

#include <algorithm>
#include <cmath>

namespace
{

SSeries Summarise(const SSoakTrace& trace, size_t iSensor, bool bClock, SRows rows)
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
            s.llBackTo = ll;
            s.usBack = trace.vllTimeUs[i];
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

// Rows cut where the rise was bent: those before dBend (µs).
SRows Before(const SSoakTrace& trace, SRows rows, double dBend)
{
    while (rows.iEnd > rows.iFirst && static_cast<double>(trace.vllTimeUs[rows.iEnd - 1]) >= dBend)
    {
        --rows.iEnd;
    }
    return rows;
}

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

// A zone's readings over some rows, at most 2000 of them (the fit's cost stays bounded on the
// longest soak) with the last one always in: times in µs, values in C; and every value read.
struct SPoints
{
    std::vector<double> vdT;
    std::vector<double> vdY;
    std::vector<tint64> vllSeen;
};

SPoints Points(const SSoakTrace& trace, size_t k, SRows rows, size_t nMost)
{
    SPoints pts;
    const size_t nStride = std::max<size_t>(1, rows.Count() / std::max<size_t>(1, nMost));
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        const tint64 ll = trace.Value(i, k);
        if (ll == kMissing)
        {
            continue;
        }
        pts.vllSeen.push_back(ll);
        if ((i - rows.iFirst) % nStride == 0 || i + 1 == rows.iEnd)
        {
            pts.vdT.push_back(static_cast<double>(trace.vllTimeUs[i]));
            pts.vdY.push_back(static_cast<double>(ll) / 1000);
        }
    }
    return pts;
}

// The sensor's own step: readings that move in whole degrees cannot fit closer than that.
double SensorStep(std::vector<tint64> vllSeen)
{
    std::sort(vllSeen.begin(), vllSeen.end());
    tint64 llStep = 0;
    for (size_t i = 1; i < vllSeen.size(); ++i)
    {
        const tint64 llGap = vllSeen[i] - vllSeen[i - 1];
        llStep = llGap > 0 && (llStep == 0 || llGap < llStep) ? llGap : llStep;
    }
    return static_cast<double>(llStep) / 1000;
}

// Why the readings are no first-order rise to fit, judged on their smoothed values and
// against their own noise (one glitch, or a noisy sensor, is not a bend); "" when they may be.
// *pdRise: how far they rose, smoothed, above dFrom.
std::string NoRise(const SPoints& pts, double dFrom, double dStep, double* pdRise)
{
    const std::vector<double>& vdY = pts.vdY;
    const size_t nWidth = std::min(std::max<size_t>(5, vdY.size() / 20), vdY.size() / 3);
    const std::vector<double> vdSmooth = Smoothed(vdY, nWidth);
    const double dNoise = Noise(vdY) / std::sqrt(static_cast<double>(nWidth));
    const size_t iHigh = static_cast<size_t>(std::max_element(vdSmooth.begin(), vdSmooth.end()) - vdSmooth.begin());
    const double dSmoothHigh = vdSmooth[iHigh];
    const double dSmoothLast = vdSmooth.back();
    const double dRise = *pdRise = dSmoothHigh - dFrom;
    if (dSmoothLast < vdSmooth.front() - std::max({0.5, dStep, 3 * dNoise}))
    {
        return "it fell, from " + Printed(2, vdSmooth.front()) + " C to " + Printed(2, dSmoothLast) +
               " C: no first-order rise describes that";
    }
    if (dRise < 1)
    {
        return "it rose only " + Printed(2, dRise) + " C: too little to fit";
    }
    if (dSmoothHigh - dSmoothLast > std::max({0.5, 0.1 * dRise, 2 * dStep, 3 * dNoise}))
    {
        return "it fell " + Printed(2, dSmoothHigh - dSmoothLast) + " C after its highest, at " +
               Printed(1, pts.vdT[iHigh + nWidth / 2] / 1e6) +
               " s: something bent it (throttling?), and no first-order rise describes that";
    }
    return "";
}

// Why a fitted first-order rise does not describe the readings; "" when it does.
std::string Misfit(const SZoneFit& z, const SPoints& pts, double dRise, double dStep, double dInterval)
{
    if (z.fit.dRms > std::max({0.05 * dRise, 0.5 * dStep, 2 * Noise(pts.vdY), 0.05}))
    {
        return "a first-order fit leaves " + Printed(2, z.fit.dRms) + " C RMS over a rise of " + Printed(2, dRise) +
               " C: something bent it (throttling?), and no first-order rise describes that";
    }
    if (z.fit.dTau < dInterval / 2)
    {
        return "it rose within a sample or two: its time constant is shorter than INTERVAL (" + ShowSeconds(dInterval) +
               " s) can tell";
    }
    if (z.fit.bAtLongest || z.dSpan < z.fit.dTau)
    {
        return "the rise (" + ShowSeconds(z.dSpan) + " s) is shorter than its time constant (" +
               (z.fit.bAtLongest ? "over " : "about ") + ShowSeconds(z.fit.dTau) + " s): where it settles cannot be told; soak longer";
    }
    // A fast part on a slow one (a die on its board, a heatsink) fits one time constant closely
    // and looks settled while the slow part rises on: the last third must still follow the curve.
    const SSlope slope = SlopeFrom(pts.vdT, pts.vdY, z.dSpan * 2 / 3);
    const double dCurve = (z.fit.dSteady - z.fit.dStart) / z.fit.dTau * std::exp(-slope.dMidT / z.fit.dTau);
    if (slope.bKnown && std::fabs(slope.dSlope - dCurve) > 3 * slope.dError &&
        std::fabs(slope.dSlope - dCurve) * z.dSpan > std::max({0.5, 0.05 * dRise, 2 * dStep}))
    {
        return std::string("its last third ") + (slope.dSlope > dCurve ? "still rose " : "fell ") +
               Printed(2, std::fabs(slope.dSlope - dCurve) * 60e6) + " C a minute " + (slope.dSlope > dCurve ? "faster" : "slower") +
               " than one time constant allows: a second, slower part goes on (the board, a heatsink?); soak longer";
    }
    return "";
}

// Throttling or a fan bends the rise: what a first-order response describes is the step of
// load before dBend, and where that would have settled.
SZoneFit FitZone(const SSoakSetup& setup, const SSoakTrace& trace, size_t k, tint64 llRiseFrom, const SSoakAnalysis& a)
{
    SZoneFit z;
    const SPoints pts = Points(trace, k, Before(trace, a.rowsSoak, a.dBend), 2000);
    const std::string strBefore = a.strBent.empty() ? "" : "before " + a.strBent + ", ";
    z.nPoints = pts.vdT.size();
    if (pts.vdT.size() < 4)
    {
        z.strWhy = strBefore + "too few samples to fit: " + std::to_string(pts.vdT.size());
        return z;
    }
    z.dSpan = pts.vdT.back();
    z.dLast = pts.vdY.back();
    const double dFrom = static_cast<double>(llRiseFrom) / 1000;
    const double dStep = SensorStep(pts.vllSeen);
    double dRise = 0;
    z.strWhy = NoRise(pts, dFrom, dStep, &dRise);
    if (!z.strWhy.empty())
    {
        z.strWhy = strBefore + z.strWhy;
        return z;
    }
    const double dInterval = static_cast<double>(setup.usInterval);
    z.fit = FitStep(pts.vdT.data(), pts.vdY.data(), pts.vdT.size(), dInterval / 4, std::max(20 * z.dSpan, dInterval));
    if (!z.fit.bFitted || z.fit.dStart > z.fit.dSteady)
    {
        z.strWhy = strBefore + "no first-order rise fits it";
        return z;
    }
    z.strWhy = Misfit(z, pts, dRise, dStep, dInterval);
    z.bFitted = z.strWhy.empty();
    z.strWhy = z.bFitted ? "" : strBefore + z.strWhy;
    return z;
}

// The least difference of means a meter resolves: the smallest step between its readings at
// rest (1 µW, its unit, where it read one value), and twice the difference's standard error,
// so that noise, or one odd reading, is never taken for what the load added.
tint64 Resolution(const SSoakTrace& trace, size_t k, const SSoakAnalysis& a)
{
    tint64 llStep = 0;
    long double aldMean[2] = {0, 0}, aldVar[2] = {0, 0};
    size_t anGot[2] = {0, 0};
    int nPhase = 0;
    for (const SRows rows : {a.rowsBase, a.rowsSoak})
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

// The meter thermal resistance divides by: POWER_METER's, or the only one; -1 and why when none.
int ChooseMeter(const SSoakSetup& setup, std::string* pstrWhy)
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

SMeterLoad MeterLoad(const SSoakSetup& setup, const SSoakTrace& trace, const SSoakAnalysis& a)
{
    SMeterLoad m;
    m.iMeter = ChooseMeter(setup, &m.strWhy);
    if (m.iMeter < 0)
    {
        return m;
    }
    const size_t k = static_cast<size_t>(m.iMeter);
    // The load's power where the fit's rise was: before anything bent it. Its plateau, the
    // median: a meter that averages lags the step, and its first readings of the load are
    // still the idle power.
    const SRows rows = Before(trace, a.rowsSoak, a.dBend);
    m.load = Summarise(trace, k, false, rows);
    std::vector<tint64> vll;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        if (trace.Value(i, k) != kMissing)
        {
            vll.push_back(trace.Value(i, k));
        }
    }
    std::sort(vll.begin(), vll.end());
    m.llLoad = vll.empty() ? 0 : (vll[(vll.size() - 1) / 2] + vll[vll.size() / 2]) / 2;
    m.llResolution = Resolution(trace, k, a);
    return m;
}

} // namespace

tint64 SSeries::Mean() const
{
    return static_cast<tint64>(std::llround(ldSum / static_cast<long double>(nGot)));
}

SSoakAnalysis AnalyseSoak(const SSoakSetup& setup, const SSoakTrace& trace)
{
    SSoakAnalysis a;
    a.rowsBase = SRows{0, std::min(trace.nBaseline, trace.nSamples)};
    a.rowsSoak = SRows{std::min(trace.nBaseline, trace.nSamples), trace.nSamples};
    const SRows& soak = a.rowsSoak;
    const SRows& base = a.rowsBase;
    a.usSoak = soak.Count() > 0 ? trace.vllTimeUs[soak.iEnd - 1] - trace.vllTimeUs[soak.iFirst] : 0;
    if (soak.Count() > 0 && trace.vllBusy[soak.iFirst] != kMissing && trace.vllBusy[soak.iEnd - 1] != kMissing)
    {
        a.bBusy = true;
        a.usBusy = trace.vllBusy[soak.iEnd - 1] - trace.vllBusy[soak.iFirst];
        a.usSpent = trace.vllTotal[soak.iEnd - 1] - trace.vllTotal[soak.iFirst];
    }
    if (base.Count() >= 2 && trace.vllBusy[base.iFirst] != kMissing && trace.vllBusy[base.iEnd - 1] != kMissing &&
        trace.vllTotal[base.iEnd - 1] > trace.vllTotal[base.iFirst])
    {
        a.dBaselineBusy = static_cast<double>(trace.vllBusy[base.iEnd - 1] - trace.vllBusy[base.iFirst]) /
                          static_cast<double>(trace.vllTotal[base.iEnd - 1] - trace.vllTotal[base.iFirst]);
    }
    a.clock = Summarise(trace, 0, true, soak);
    a.throttle = FindThrottle(trace, soak, a.clock);
    a.dBend = BendStart(setup, trace, a.throttle, soak, &a.strBent);
    a.vSensors.resize(setup.vSensors.size());
    for (size_t k = 0; k < setup.vSensors.size(); ++k)
    {
        SSensorAnalysis& s = a.vSensors[k];
        s.soak = Summarise(trace, k, false, soak);
        s.base = Summarise(trace, k, false, base);
        s.from = s.base.nGot > 0 ? SFrom{true, s.base.Mean()} : SFrom{false, s.soak.llFirst};
        if (setup.vSensors[k].eKind != ESensorKind::Temp || s.soak.nGot == 0)
        {
            continue;
        }
        s.fit = FitZone(setup, trace, k, s.from.llValue, a);
        // Every reading of the soak, for whether the zone has stopped moving.
        const SPoints pts = Points(trace, k, soak, soak.Count());
        s.bTail = !pts.vdT.empty();
        s.dTailSpan = s.bTail ? pts.vdT.back() : 0;
        s.tail = s.bTail ? SlopeFrom(pts.vdT, pts.vdY, s.dTailSpan * 2 / 3) : SSlope();
    }
    a.meter = MeterLoad(setup, trace, a);
    return a;
}

bool SoakIsSteady(const SSoakSetup& setup, const SSoakAnalysis& analysis, std::string* pstrWhy)
{
    std::string strZones;
    double dTauMax = 0;
    for (size_t k = 0; k < setup.vSensors.size(); ++k)
    {
        const SSensorAnalysis& s = analysis.vSensors[k];
        if (setup.vSensors[k].eKind != ESensorKind::Temp || s.soak.nGot == 0 || !s.bTail)
        {
            continue;
        }
        // Every zone, fitted or not (a slow one, one a second time constant drives), must have
        // stopped moving: over its last third it would not move 0.5 C were the soak as long again.
        if (!s.tail.bKnown || std::fabs(s.tail.dSlope) * s.dTailSpan > 0.5)
        {
            return false;
        }
        const SZoneFit& z = s.fit;
        if (!z.bFitted)
        {
            continue;
        }
        // Where nothing bent it, also where its fit has it settle, 3 τ on.
        if (analysis.strBent.empty() && (std::fabs(z.dLast - z.fit.dSteady) > 0.5 || z.dSpan < 3 * z.fit.dTau))
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
