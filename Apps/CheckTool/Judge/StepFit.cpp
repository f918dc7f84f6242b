// SPDX-License-Identifier: MIT
// The first-order fit: closed-form T∞ and T₀ for each τ, a log-scale search and a golden refinement.
#include "StepFit.h"

#include <cmath>

namespace
{

// The least squares for one τ: T∞ and T₀ in closed form, and the sum of squared residuals.
// Values are taken about their mean, so that large temperatures lose no precision.
double SumOfSquares(const double* pdT, const double* pdY, size_t nPoints, double dMean, double dTau, double* pdSteady,
                    double* pdStart)
{
    double dE = 0, dEE = 0, dY = 0, dEY = 0;
    for (size_t i = 0; i < nPoints; ++i)
    {
        const double e = std::exp(-pdT[i] / dTau);
        const double y = pdY[i] - dMean;
        dE += e;
        dEE += e * e;
        dY += y;
        dEY += e * y;
    }
    const double n = static_cast<double>(nPoints);
    const double dDet = n * dEE - dE * dE;
    if (!(std::fabs(dDet) > 1e-12 * n * n))
    {
        return HUGE_VAL;  // every e alike: τ cannot be told from these times
    }
    const double a = (dEE * dY - dE * dEY) / dDet;  // T∞
    const double b = (n * dEY - dE * dY) / dDet;    // T₀ − T∞
    double dSse = 0;
    for (size_t i = 0; i < nPoints; ++i)
    {
        const double r = pdY[i] - dMean - a - b * std::exp(-pdT[i] / dTau);
        dSse += r * r;
    }
    *pdSteady = a + dMean;
    *pdStart = a + b + dMean;
    return dSse;
}

} // namespace

SStepFit FitStep(const double* pdT, const double* pdY, size_t nPoints, double dTauLow, double dTauHigh)
{
    SStepFit fit;
    if (nPoints < 4 || !(dTauLow > 0) || !(dTauHigh > dTauLow))
    {
        return fit;
    }
    double dMean = 0;
    for (size_t i = 0; i < nPoints; ++i)
    {
        dMean += pdY[i] / static_cast<double>(nPoints);
    }
    double dSst = 0;
    for (size_t i = 0; i < nPoints; ++i)
    {
        dSst += (pdY[i] - dMean) * (pdY[i] - dMean);
    }
    // The grid, then golden sections in log τ between the best point's neighbours.
    const int nGrid = 96;
    const double dLogLow = std::log(dTauLow);
    const double dStep = (std::log(dTauHigh) - dLogLow) / (nGrid - 1);
    double dBestSse = HUGE_VAL;
    int iBest = -1;
    double dSteady = 0, dStart = 0;
    // Sums alike but for rounding are a tie, which the shortest τ wins: readings that never
    // moved in the soak (a step before its first sample) fit every τ, and rounding must not pick one.
    const double dTie = 1e-12 * dSst;
    for (int i = 0; i < nGrid; ++i)
    {
        const double dSse = SumOfSquares(pdT, pdY, nPoints, dMean, std::exp(dLogLow + dStep * i), &dSteady, &dStart);
        if (dSse < dBestSse - dTie)
        {
            dBestSse = dSse;
            iBest = i;
        }
    }
    if (iBest < 0)
    {
        return fit;
    }
    double dLo = dLogLow + dStep * (iBest > 0 ? iBest - 1 : 0);
    double dHi = dLogLow + dStep * (iBest < nGrid - 1 ? iBest + 1 : nGrid - 1);
    const double dGolden = 0.5 * (std::sqrt(5.0) - 1);
    for (int k = 0; k < 40; ++k)
    {
        const double d1 = dHi - dGolden * (dHi - dLo);
        const double d2 = dLo + dGolden * (dHi - dLo);
        if (SumOfSquares(pdT, pdY, nPoints, dMean, std::exp(d1), &dSteady, &dStart) <
            SumOfSquares(pdT, pdY, nPoints, dMean, std::exp(d2), &dSteady, &dStart))
        {
            dHi = d2;
        }
        else
        {
            dLo = d1;
        }
    }
    fit.dTau = std::exp(0.5 * (dLo + dHi));
    const double dSse = SumOfSquares(pdT, pdY, nPoints, dMean, fit.dTau, &fit.dSteady, &fit.dStart);
    fit.bFitted = std::isfinite(dSse);
    fit.dRms = std::sqrt(dSse / static_cast<double>(nPoints));
    fit.dR2 = dSst > 0 ? 1 - dSse / dSst : 0;
    fit.bAtShortest = iBest == 0;
    fit.bAtLongest = iBest == nGrid - 1;
    return fit;
}
