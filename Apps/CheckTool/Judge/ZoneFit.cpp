// SPDX-License-Identifier: MIT
// Fits a zone's rise with one pole and with two, keeps two only where the readings show them
// beyond their noise, and bounds its figures at 95 %.
#include "ZoneFit.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "PoleFit.h"
#include "NumberText.h"
#include "StepFit.h"

namespace
{

// The F statistic past which a second pole is real: the sum of squares it saves, per
// parameter it adds, must be fifty times the noise's variance. White noise reaches ten about
// once in e^10 soaks, but a sensor's readings are seldom white: quantised in whole degrees, or
// smoothed by its own filter, their errors run together and save a fit more.
const double kPoleF = 50;
// At most this many readings go into a two-pole fit, evenly spread: its cost stays bounded.
const size_t kPolePoints = 400;
// A slower pole the soak may hide, for whether the board is known: up to this many times the
// soak's length (a board's case or enclosure heats over tens of minutes).
const double kSlowerPrior = 3;

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

// The readings' noise: a robust standard deviation from their second differences, which a
// rise's slope leaves alone (a first difference would count it as noise, and so hide a slow
// pole behind its own rise). For white noise each has six times its variance.
double Noise(const std::vector<double>& vd)
{
    std::vector<double> vdBends;
    for (size_t i = 2; i < vd.size(); ++i)
    {
        vdBends.push_back(std::fabs(vd[i] - 2 * vd[i - 1] + vd[i - 2]));
    }
    if (vdBends.empty())
    {
        return 0;
    }
    std::nth_element(vdBends.begin(), vdBends.begin() + static_cast<std::ptrdiff_t>(vdBends.size() / 2), vdBends.end());
    return 1.4826 * vdBends[vdBends.size() / 2] / std::sqrt(6.0);
}

} // namespace

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

namespace
{

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
double SensorStep(const std::vector<tint64>& vllSeen)
{
    return static_cast<double>(SmallestStep(vllSeen)) / 1000;
}

// Why the readings are no first-order rise to fit, judged on their smoothed values and
// against their own noise (one glitch, or a noisy sensor, is not a bend); "" when they may be.
// *pdRise: how far they rose, smoothed, above dFrom.
std::string NoRise(const SPoints& pts, double dFrom, double dStep, double* pdRise, bool* pbFlat)
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
        *pbFlat = true;
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


struct SChoice
{
    SModel model;
    std::string strPoles;
};

SModel OnePole(const SStepFit& fit)
{
    SModel m;
    m.nPoles = 1;
    m.dSteady = fit.dSteady;
    m.dSlow = fit.dSteady - fit.dStart;
    m.dTau = fit.dTau;
    return m;
}

SModel TwoPoles(const SPoleFit& fit)
{
    SModel m;
    m.nPoles = 2;
    m.dSteady = fit.dSteady;
    m.dFast = fit.dFast;
    m.dSlow = fit.dSlow;
    m.dTauFast = fit.dTauFast;
    m.dTau = fit.dTauSlow;
    return m;
}

// Every nth point, so that at most nMost remain; the last one always.
SPoints Thinned(const SPoints& pts, size_t nMost, size_t nEnd)
{
    SPoints out;
    const size_t nStride = std::max<size_t>(1, (nEnd + nMost - 1) / nMost);
    for (size_t i = 0; i < nEnd; ++i)
    {
        if (i % nStride == 0 || i + 1 == nEnd)
        {
            out.vdT.push_back(pts.vdT[i]);
            out.vdY.push_back(pts.vdY[i]);
        }
    }
    return out;
}

// One pole, or two where the readings show them beyond the sensor's noise: both rising, and
// the sum of squares the second pole saves, per parameter it adds, more than kPoleF times the
// larger of the fit's own residual variance, the readings' noise (from their second
// differences) and their step's (whole degrees read as such). Noise, however it looks,
// saves a fit of more parameters no more than its variance for each.
SChoice ChooseModel(const SPoints& pts, const SStepFit& one, double dInterval, double dStep, double dHigh)
{
    SChoice choice;
    choice.model = OnePole(one);
    const SPoints few = Thinned(pts, kPolePoints, pts.vdT.size());
    const size_t m = few.vdT.size();
    const SPoleFit two = FitTwoPoles(few.vdT.data(), few.vdY.data(), m, dInterval / 4, dHigh);
    const SStepFit oneFew = FitStep(few.vdT.data(), few.vdY.data(), m, dInterval / 4, dHigh);
    if (!two.bFitted || !oneFew.bFitted || m < 8)
    {
        choice.strPoles = "one pole describes the rise: too few readings to fit two";
        return choice;
    }
    const double dSse1 = oneFew.dRms * oneFew.dRms * static_cast<double>(m);
    const double dNoise = Noise(few.vdY);
    const double dVar = std::max({two.dSse / static_cast<double>(m - 5), dNoise * dNoise, dStep * dStep / 4, 1e-12});
    const double dF = (dSse1 - two.dSse) / 2 / dVar;
    const std::string strFigures = " (RMS residual " + Printed(3, oneFew.dRms) + " C with one, " +
                                   Printed(3, std::sqrt(two.dSse / static_cast<double>(m))) + " C with two: F " + Printed(1, dF) +
                                   " against a noise of " + Printed(3, std::sqrt(dVar)) + " C, " + Printed(0, kPoleF) + " needed)";
    if (!(two.dFast > 0) || !(two.dSlow > 0))
    {
        choice.strPoles = "one pole describes the rise: a second would not rise with it";
        return choice;
    }
    if (!(dF > kPoleF))
    {
        choice.strPoles = "one pole describes the rise" + strFigures;
        return choice;
    }
    choice.model = TwoPoles(two);
    choice.strPoles = "two poles" + strFigures;
    return choice;
}

// How well the model describes every reading: RMS residual and R².
void Residuals(const SPoints& pts, SZoneFit* pZone)
{
    double dMean = 0, dSse = 0, dSst = 0;
    for (const double y : pts.vdY)
    {
        dMean += y / static_cast<double>(pts.vdY.size());
    }
    for (size_t i = 0; i < pts.vdY.size(); ++i)
    {
        const double r = pts.vdY[i] - pZone->model.At(pts.vdT[i]);
        dSse += r * r;
        dSst += (pts.vdY[i] - dMean) * (pts.vdY[i] - dMean);
    }
    pZone->dRms = std::sqrt(dSse / static_cast<double>(pts.vdY.size()));
    pZone->dR2 = dSst > 0 ? 1 - dSse / dSst : 0;
}

// Why the model does not describe the readings; "" when it does.
std::string Misfit(const SZoneFit& z, const SPoints& pts, double dRise, double dStep, double dInterval, bool bAtLongest)
{
    const SModel& m = z.model;
    if (z.dRms > std::max({0.05 * dRise, 0.5 * dStep, 2 * Noise(pts.vdY), 0.05}))
    {
        return "a fit leaves " + Printed(2, z.dRms) + " C RMS over a rise of " + Printed(2, dRise) +
               " C: something bent it (throttling?), and no rise of one or two poles describes that";
    }
    if (m.dTau < dInterval / 2)
    {
        return "it rose within a sample or two: its time constant is shorter than INTERVAL (" + ShowSeconds(dInterval) + " s) can tell";
    }
    if (bAtLongest || z.dSpan < m.dTau)
    {
        return "the rise (" + ShowSeconds(z.dSpan) + " s) is shorter than its time constant (" + (bAtLongest ? "over " : "about ") +
               ShowSeconds(m.dTau) + " s): where it settles cannot be told; soak longer";
    }
    // A slower part still (a heatsink, a case) looks settled to the model while it rises on:
    // the last third must still follow the curve.
    const SSlope slope = SlopeFrom(pts.vdT, pts.vdY, z.dSpan * 2 / 3);
    const double dCurve = m.Slope(slope.dMidT);
    if (slope.bKnown && std::fabs(slope.dSlope - dCurve) > 3 * slope.dError &&
        std::fabs(slope.dSlope - dCurve) * z.dSpan > std::max({0.5, 0.05 * dRise, 2 * dStep}))
    {
        return std::string("its last third ") + (slope.dSlope > dCurve ? "still rose " : "fell ") +
               Printed(2, std::fabs(slope.dSlope - dCurve) * 60e6) + " C a minute " + (slope.dSlope > dCurve ? "faster" : "slower") +
               " than its model allows: a slower part still goes on (the board, a heatsink?); soak longer";
    }
    return "";
}

// The fitted figures' 95 % intervals, and T∞'s allowing a slower pole than the readings show.
void BoundFigures(const SPoints& pts, double dTauOne, double dInterval, double dHigh, SZoneFit* pZone)
{
    SZoneFit& z = *pZone;
    // Whether the board is known: a slower pole than the readings show, up to kSlowerPrior
    // times the soak, must not move T∞ either; beside two poles, the slow one's region
    // within that, beside one, a second and slower one's.
    SProfileAsk ask;
    ask.dTauLow = dInterval / 4;
    ask.dTauHigh = dHigh;
    ask.dTauOne = dTauOne;
    ask.bTwoChosen = z.model.nPoles == 2;
    ask.dTauFast = ask.bTwoChosen ? z.model.dTauFast : 0;
    ask.dTauSlow = ask.bTwoChosen ? z.model.dTau : 0;
    ask.dStep = z.dStep;
    ask.dPriorCap = kSlowerPrior * z.dSpan;
    z.intervals = ProfileIntervals(pts.vdT.data(), pts.vdY.data(), pts.vdT.size(), ask);
    // A slower pole than the slow one seen: beside two, the fast one held where it was seen.
    {
        ask.bWithTwo = ask.bCapIsPrior = true;
        ask.dSlowerThan = z.model.dTau;
        ask.dFixedFast = ask.bTwoChosen ? z.model.dTauFast : 0;
        ask.bTwoChosen = false;
        ask.dTauHigh = std::max(kSlowerPrior * z.dSpan, 2 * ask.dTauLow);
        const SInterval slower = ProfileIntervals(pts.vdT.data(), pts.vdY.data(), pts.vdT.size(), ask).steadyAnyPole;
        SInterval& any = z.intervals.steadyAnyPole;
        any = !slower.bKnown ? any : !any.bKnown ? slower : SInterval{true, std::min(any.dLow, slower.dLow), std::max(any.dHigh, slower.dHigh)};
    }
    // The figures come from the fits' own searches, the intervals from the profile: where a
    // search stopped a hair off the profile's least, the interval still holds its figure.
    const auto hold = [](SInterval& in, double d) {
        in.dLow = std::min(in.dLow, d);
        in.dHigh = std::max(in.dHigh, d);
    };
    for (SInterval* pIn : {&z.intervals.steady, &z.intervals.steadyAnyPole})
    {
        if (pIn->bKnown)
        {
            hold(*pIn, z.model.dSteady);
        }
    }
    if (z.intervals.tau.bKnown)
    {
        hold(z.intervals.tau, z.model.dTau);
    }
    if (z.intervals.tauFast.bKnown && z.model.nPoles == 2)
    {
        hold(z.intervals.tauFast, z.model.dTauFast);
    }
    // A quantised sensor hides where within its step the zone lies: one that rounds reads
    // up to half a step either way, one that truncates up to a whole step low.
    for (SInterval* pIn : {&z.intervals.steady, &z.intervals.steadyAnyPole})
    {
        pIn->dLow -= z.dStep / 2;
        pIn->dHigh += z.dStep;
    }
}

} // namespace

double SModel::At(double dT) const
{
    return dSteady - (nPoles == 2 ? dFast * std::exp(-dT / dTauFast) : 0) - dSlow * std::exp(-dT / dTau);
}

double SModel::Slope(double dT) const
{
    return (nPoles == 2 ? dFast / dTauFast * std::exp(-dT / dTauFast) : 0) + dSlow / dTau * std::exp(-dT / dTau);
}

SZoneFit FitZone(const SSoakTrace& trace, size_t k, SRows rows, double dInterval, tint64 llRiseFrom, const std::string& strBent)
{
    SZoneFit z;
    const SPoints pts = Points(trace, k, rows, 2000);
    const std::string strBefore = strBent.empty() ? "" : "before " + strBent + ", ";
    z.nPoints = pts.vdT.size();
    if (pts.vdT.size() < 4)
    {
        z.strWhy = strBefore + "too few samples to fit: " + std::to_string(pts.vdT.size());
        return z;
    }
    z.dSpan = pts.vdT.back();
    z.dLast = pts.vdY.back();
    const double dStep = SensorStep(pts.vllSeen);
    double dRise = 0;
    z.strWhy = NoRise(pts, static_cast<double>(llRiseFrom) / 1000, dStep, &dRise, &z.bFlat);
    if (!z.strWhy.empty())
    {
        z.strWhy = strBefore + z.strWhy;
        return z;
    }
    const double dHigh = std::max(20 * z.dSpan, dInterval);
    const SStepFit one = FitStep(pts.vdT.data(), pts.vdY.data(), pts.vdT.size(), dInterval / 4, dHigh);
    const SChoice choice = ChooseModel(pts, one, dInterval, dStep, dHigh);
    z.model = choice.model;
    z.strPoles = choice.strPoles;
    if ((z.model.nPoles == 1 && (!one.bFitted || one.dStart > one.dSteady)))
    {
        z.strWhy = strBefore + "no rise of one or two poles fits it";
        return z;
    }
    Residuals(pts, &z);
    // The gap between distinct readings is the sensor's step only where every reading lies a
    // whole number of such gaps from every other, as a quantised sensor's do (and one that
    // truncates reads half a step low); readings spread over a rise leave gaps that are the rise's.
    const tint64 llStep = std::llround(dStep * 1000);
    bool bQuantised = llStep > 0;
    for (const tint64 ll : pts.vllSeen)
    {
        bQuantised = bQuantised && (ll - pts.vllSeen.front()) % llStep == 0;
    }
    z.dStep = bQuantised ? dStep : 0;
    z.bFastTold = z.model.nPoles == 2 && z.model.dTauFast >= dInterval / 2;
    const bool bAtLongest = z.model.nPoles == 1 ? one.bAtLongest : z.model.dTau >= dHigh * 0.999;
    z.strWhy = Misfit(z, pts, dRise, dStep, dInterval, bAtLongest);
    z.bFitted = z.strWhy.empty();
    z.strWhy = z.bFitted ? "" : strBefore + z.strWhy;
    if (z.bFitted)
    {
        BoundFigures(pts, one.dTau, dInterval, dHigh, &z);
    }
    return z;
}

SSlope TailSlope(const SSoakTrace& trace, size_t k, SRows rows, double* pdSpan, double* pdStep)
{
    const SPoints pts = Points(trace, k, rows, rows.Count());
    *pdSpan = pts.vdT.empty() ? 0 : pts.vdT.back();
    *pdStep = SensorStep(pts.vllSeen);
    return pts.vdT.empty() ? SSlope() : SlopeFrom(pts.vdT, pts.vdY, *pdSpan * 2 / 3);
}
