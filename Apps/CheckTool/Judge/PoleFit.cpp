// SPDX-License-Identifier: MIT
// The two-pole fit: linear least squares inside, a log grid over the two time constants outside.
#include "PoleFit.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace
{

// How many of the grid's valleys the descent starts from.
const size_t kStarts = 2;

// The sums of one pair of columns e₁ = e^(−t/τ₁), e₂ = e^(−t/τ₂) with each other and with the
// values, taken about the values' mean so that large temperatures lose no precision.
struct SSums
{
    double s1 = 0, s2 = 0, s11 = 0, s12 = 0, s22 = 0, s1y = 0, s2y = 0;
};

// T∞, A and B from the normal equations, and the sum of squared residuals; HUGE_VAL where
// these times cannot tell the two columns apart. sy and syy: the centred values' sums.
double Solve(const SSums& s, double n, double sy, double syy, double dMean, SPoleFit* pFit)
{
    // About the columns' means the constant drops out: a 2×2 system for the amplitudes.
    const double c11 = s.s11 - s.s1 * s.s1 / n, c12 = s.s12 - s.s1 * s.s2 / n, c22 = s.s22 - s.s2 * s.s2 / n;
    const double c1y = s.s1y - s.s1 * sy / n, c2y = s.s2y - s.s2 * sy / n;
    const double dDet = c11 * c22 - c12 * c12;
    if (!(c11 > 0) || !(c22 > 0) || !(dDet > 1e-9 * c11 * c22))
    {
        return HUGE_VAL;
    }
    const double b1 = (c22 * c1y - c12 * c2y) / dDet;
    const double b2 = (c11 * c2y - c12 * c1y) / dDet;
    pFit->dSteady = (sy - b1 * s.s1 - b2 * s.s2) / n + dMean;
    pFit->dFast = -b1;
    pFit->dSlow = -b2;
    return std::fmax(0.0, syy - sy * sy / n - b1 * c1y - b2 * c2y);
}

class CPoleData
{
public:
    CPoleData(const double* pdT, const double* pdY, size_t nPoints) : m_pdT(pdT), m_vdY(pdY, pdY + nPoints)
    {
        for (const double y : m_vdY)
        {
            m_dMean += y / static_cast<double>(nPoints);
        }
        for (double& y : m_vdY)
        {
            y -= m_dMean;
            m_sy += y;
            m_syy += y * y;
        }
    }

    size_t Count() const { return m_vdY.size(); }

    // The column e^(−t/τ) at every time.
    std::vector<double> Column(double dTau) const
    {
        std::vector<double> vd(m_vdY.size());
        for (size_t i = 0; i < vd.size(); ++i)
        {
            vd[i] = std::exp(-m_pdT[i] / dTau);
        }
        return vd;
    }

    double Fit(const std::vector<double>& v1, const std::vector<double>& v2, SPoleFit* pFit) const
    {
        SSums s;
        for (size_t i = 0; i < m_vdY.size(); ++i)
        {
            s.s1 += v1[i];
            s.s2 += v2[i];
            s.s11 += v1[i] * v1[i];
            s.s12 += v1[i] * v2[i];
            s.s22 += v2[i] * v2[i];
            s.s1y += v1[i] * m_vdY[i];
            s.s2y += v2[i] * m_vdY[i];
        }
        return Solve(s, static_cast<double>(m_vdY.size()), m_sy, m_syy, m_dMean, pFit);
    }

    double Fit(double dLog1, double dLog2, SPoleFit* pFit) const
    {
        // τ₂ at least twice τ₁: two poles closer than that are one, to these readings.
        return dLog2 - dLog1 < std::log(2.0) * 0.999 ? HUGE_VAL : Fit(Column(std::exp(dLog1)), Column(std::exp(dLog2)), pFit);
    }

private:
    const double* m_pdT;
    std::vector<double> m_vdY;
    double m_dMean = 0;
    double m_sy = 0;
    double m_syy = 0;
};

// A 5×5 pattern about the pair (log τ₁, log τ₂), moved while it finds better and halved when
// it does not: a valley along which the two time constants trade against each other is
// followed as well as one along either. The pair's sum of squares.
double Descend(const CPoleData& data, double dSpan, double dBestSse, double* pdLog1, double* pdLog2)
{
    SPoleFit fit;
    for (int nRound = 0; nRound < 60 && dSpan > 1e-4; ++nRound)
    {
        const double dCentre1 = *pdLog1, dCentre2 = *pdLog2;
        for (int i = -2; i <= 2; ++i)
        {
            for (int j = -2; j <= 2; ++j)
            {
                const double d1 = dCentre1 + dSpan * i / 2, d2 = dCentre2 + dSpan * j / 2;
                const double dSse = (i == 0 && j == 0) ? HUGE_VAL : data.Fit(d1, d2, &fit);
                if (dSse < dBestSse)
                {
                    dBestSse = dSse;
                    *pdLog1 = d1;
                    *pdLog2 = d2;
                }
            }
        }
        dSpan = *pdLog1 == dCentre1 && *pdLog2 == dCentre2 ? dSpan / 2 : dSpan;
    }
    return dBestSse;
}

} // namespace

SPoleFit FitTwoPoles(const double* pdT, const double* pdY, size_t nPoints, double dTauLow, double dTauHigh)
{
    SPoleFit best;
    if (nPoints < 6 || !(dTauLow > 0) || !(dTauHigh > 2 * dTauLow))
    {
        return best;
    }
    const CPoleData data(pdT, pdY, nPoints);
    // A grid in log τ, its columns made once; then a descent from its best valleys.
    const int nGrid = 40;
    const double dLogLow = std::log(dTauLow);
    const double dStep = (std::log(dTauHigh) - dLogLow) / (nGrid - 1);
    std::vector<std::vector<double>> vvdColumns;
    for (int i = 0; i < nGrid; ++i)
    {
        vvdColumns.push_back(data.Column(std::exp(dLogLow + dStep * i)));
    }
    // Each fast τ's best slow one; where that profile has a valley, a start. A curve with
    // no noise lies in a narrow valley that the grid can miss for a wider, shallower one.
    std::vector<double> vdRowSse(nGrid, HUGE_VAL);
    std::vector<int> vnRowBest(nGrid, 0);
    SPoleFit fit;
    for (int i = 0; i < nGrid; ++i)
    {
        for (int j = i + 1; j < nGrid; ++j)
        {
            const double dSse = dStep * (j - i) < std::log(2.0) ? HUGE_VAL : data.Fit(vvdColumns[static_cast<size_t>(i)], vvdColumns[static_cast<size_t>(j)], &fit);
            if (dSse < vdRowSse[static_cast<size_t>(i)])
            {
                vdRowSse[static_cast<size_t>(i)] = dSse;
                vnRowBest[static_cast<size_t>(i)] = j;
            }
        }
    }
    std::vector<std::pair<double, int>> vStarts;
    for (int i = 0; i < nGrid; ++i)
    {
        const double d = vdRowSse[static_cast<size_t>(i)];
        if (std::isfinite(d) && (i == 0 || d <= vdRowSse[static_cast<size_t>(i - 1)]) && (i + 1 == nGrid || d <= vdRowSse[static_cast<size_t>(i + 1)]))
        {
            vStarts.emplace_back(d, i);
        }
    }
    if (vStarts.empty())
    {
        return best;
    }
    std::sort(vStarts.begin(), vStarts.end());
    vStarts.resize(std::min<size_t>(vStarts.size(), kStarts));
    double dBestSse = HUGE_VAL;
    double dLog1 = 0, dLog2 = 0;
    for (const std::pair<double, int>& start : vStarts)
    {
        double d1 = dLogLow + dStep * start.second, d2 = dLogLow + dStep * vnRowBest[static_cast<size_t>(start.second)];
        const double dSse = Descend(data, dStep, start.first, &d1, &d2);
        if (dSse < dBestSse)
        {
            dBestSse = dSse;
            dLog1 = d1;
            dLog2 = d2;
        }
    }
    best.dTauFast = std::exp(dLog1);
    best.dTauSlow = std::exp(dLog2);
    best.dSse = data.Fit(dLog1, dLog2, &best);
    best.bFitted = std::isfinite(best.dSse);
    return best;
}
