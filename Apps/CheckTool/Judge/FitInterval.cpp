// SPDX-License-Identifier: MIT
// The profile of a one- or two-pole fit's sum of squares over its time constants, and the
// 95 % intervals of T∞ and the time constants it gives.
#include "FitInterval.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace
{

// χ²₁ at 95 %, the profile's bound for one figure, widened by half: on soaks of known truth
// (bench/coverage.py) χ²'s own bound held the truth 88 to 94 % of the time at 1.5 to 3 τ, the
// model's curvature and the noise's correlation, estimated from few residuals, being more
// than a straight profile allows.
const double kChi95 = 3.841 * 1.5;
// The profile's grid: this many time constants, log-spaced; and the search for the other one
// of two poles at each: a scan of this many, then golden sections.
const size_t kGrid = 48;
const size_t kInnerScan = 10;
const int kInnerSections = 8;
// Where the profile crosses its bound between two grid points: this many halvings.
const int kEdgeHalvings = 12;
// At most this many readings go into a two-pole profile, evenly spread.
const size_t kTwoPolePoints = 200;
// Two poles this close are one.
const double kPoleRatio = 1.2;

// Solves the n×n system (n ≤ 4) a·x = b by Gaussian elimination; false where it is singular.
bool Solve(double a[4][4], double b[4], int n, double x[4])
{
    for (int i = 0; i < n; ++i)
    {
        int iPivot = i;
        for (int r = i + 1; r < n; ++r)
        {
            iPivot = std::fabs(a[r][i]) > std::fabs(a[iPivot][i]) ? r : iPivot;
        }
        if (!(std::fabs(a[iPivot][i]) > 1e-12))
        {
            return false;
        }
        std::swap(a[i], a[iPivot]);
        std::swap(b[i], b[iPivot]);
        for (int r = i + 1; r < n; ++r)
        {
            const double f = a[r][i] / a[i][i];
            for (int c = i; c < n; ++c)
            {
                a[r][c] -= f * a[i][c];
            }
            b[r] -= f * b[i];
        }
    }
    for (int i = n - 1; i >= 0; --i)
    {
        double d = b[i];
        for (int c = i + 1; c < n; ++c)
        {
            d -= a[i][c] * x[c];
        }
        x[i] = d / a[i][i];
    }
    return true;
}

// The readings a profile fits.
struct SData
{
    std::vector<double> vdT;
    std::vector<double> vdY;
};

// One point of the profile: its time constants, the least squares' T∞ and rises, and its SSE.
struct SCell
{
    double dTauFast = 0;  // 0 with one pole
    double dTau = 0;
    double dSteady = 0;
    bool bRising = false;  // every rise positive
    double dSse = HUGE_VAL;
    double dSteadyGain = 0;  // ΔSSE = ΔT∞² / it, as T∞ moves off its least, the rises refitted
    double dLag = 0;         // the residuals' lag-one sum of products
};

// y = T∞ − B·e^(−t/τ), with − A·e^(−t/τ₁) too where dTauFast > 0, and − C·e^(−t/τ₀) where
// dTauFixed > 0 (the fast pole seen beside two others): exact least squares, as the model is
// linear in T∞ and the rises once the time constants are given.
SCell CellAt(const SData& d, double dTauFast, double dTau, double dTauFixed = 0)
{
    SCell cell;
    cell.dTauFast = dTauFast;
    cell.dTau = dTau;
    const double adTau[3] = {dTau, dTauFast, dTauFixed};
    const int n = 2 + (dTauFast > 0 ? 1 : 0) + (dTauFast > 0 && dTauFixed > 0 ? 1 : 0);
    double a[4][4] = {}, r[4] = {}, dYY = 0;
    for (size_t i = 0; i < d.vdT.size(); ++i)
    {
        double f[4] = {1, 0, 0, 0};
        for (int p = 1; p < n; ++p)
        {
            f[p] = -std::exp(-d.vdT[i] / adTau[p - 1]);
        }
        for (int p = 0; p < n; ++p)
        {
            for (int q = 0; q < n; ++q)
            {
                a[p][q] += f[p] * f[q];
            }
            r[p] += f[p] * d.vdY[i];
        }
        dYY += d.vdY[i] * d.vdY[i];
    }
    double aCopy[4][4], rCopy[4], x[4] = {0, 0, 0, 0}, aInv[4][4], e0[4] = {1, 0, 0, 0}, col[4] = {0, 0, 0, 0};
    std::copy(&a[0][0], &a[0][0] + 16, &aCopy[0][0]);
    std::copy(&a[0][0], &a[0][0] + 16, &aInv[0][0]);
    std::copy(r, r + 4, rCopy);
    if (!Solve(aCopy, rCopy, n, x) || !Solve(aInv, e0, n, col))
    {
        return cell;
    }
    // SSE = Σy² − 2xᵀr + xᵀAx, from the sums alone.
    double dSse = dYY;
    for (int p = 0; p < n; ++p)
    {
        dSse -= 2 * x[p] * r[p];
        for (int q = 0; q < n; ++q)
        {
            dSse += x[p] * a[p][q] * x[q];
        }
    }
    double dPrev = 0;
    for (size_t i = 0; i < d.vdT.size(); ++i)
    {
        double dRes = d.vdY[i] - x[0];
        for (int p = 1; p < n; ++p)
        {
            dRes += x[p] * std::exp(-d.vdT[i] / adTau[p - 1]);
        }
        cell.dLag += i > 0 ? dRes * dPrev : 0;
        dPrev = dRes;
    }
    cell.dSteady = x[0];
    cell.bRising = x[1] > 0 && (n < 3 || x[2] > 0) && (n < 4 || x[3] > 0);
    cell.dSse = std::max(0.0, dSse);
    cell.dSteadyGain = std::max(0.0, col[0]);
    return cell;
}

// The range the other of two poles is searched over, the outer one given: the fast one from
// the shortest τ (or, beside a slower pole, from half the visible one's τ to twice it), the slow
// one up to the longest.
struct SInner
{
    double dLow;
    double dHigh;
};

SInner InnerRange(const SProfileAsk& ask, bool bOuterSlow, double dOuter)
{
    if (bOuterSlow)
    {
        return ask.dSlowerThan > 0 ? SInner{ask.dSlowerThan / 2, std::min(dOuter / kPoleRatio, ask.dSlowerThan * 2)}
                                   : SInner{ask.dTauLow, dOuter / kPoleRatio};
    }
    return SInner{dOuter * kPoleRatio, ask.dTauHigh};
}

// The best rising cell with the outer time constant given: with one pole, that one; with two,
// the other searched over its range (a scan, then golden sections in log τ).
SCell BestAt(const SData& d, const SProfileAsk& ask, bool bTwo, bool bOuterSlow, double dOuter)
{
    if (!bTwo)
    {
        return CellAt(d, 0, dOuter);
    }
    const SInner inner = InnerRange(ask, bOuterSlow, dOuter);
    if (!(inner.dLow > 0) || !(inner.dHigh > inner.dLow))
    {
        return SCell();
    }
    const double dFrom = std::log(inner.dLow), dTo = std::log(inner.dHigh);
    if (!(dTo > dFrom))
    {
        return SCell();
    }
    const auto at = [&](double dLog) {
        const SCell c = bOuterSlow ? CellAt(d, std::exp(dLog), dOuter, ask.dSlowerThan > 0 ? ask.dFixedFast : 0)
                                   : CellAt(d, dOuter, std::exp(dLog));
        return c.bRising ? c : SCell();
    };
    SCell best;
    size_t iBest = 0;
    const double dStep = (dTo - dFrom) / (kInnerScan - 1);
    for (size_t i = 0; i < kInnerScan; ++i)
    {
        const SCell c = at(dFrom + dStep * static_cast<double>(i));
        iBest = c.dSse < best.dSse ? i : iBest;
        best = c.dSse < best.dSse ? c : best;
    }
    double a = dFrom + dStep * (static_cast<double>(iBest) - 1), b = dFrom + dStep * (static_cast<double>(iBest) + 1);
    a = std::max(a, dFrom);
    b = std::min(b, dTo);
    const double g = (std::sqrt(5.0) - 1) / 2;
    for (int k = 0; k < kInnerSections; ++k)
    {
        const double x1 = b - g * (b - a), x2 = a + g * (b - a);
        const SCell c1 = at(x1), c2 = at(x2);
        best = c1.dSse < best.dSse ? c1 : best;
        best = c2.dSse < best.dSse ? c2 : best;
        (c1.dSse < c2.dSse ? b : a) = c1.dSse < c2.dSse ? x2 : x1;
    }
    return best;
}

// The profile over one time constant (the slow one, or the fast), the other at its best at
// each: on a log grid, with the exact fit's own and each crossing of dBound found by halving.
std::vector<SCell> Profile(const SData& d, const SProfileAsk& ask, bool bTwo, bool bOuterSlow)
{
    std::vector<SCell> vCells;
    // A slower pole beside the visible one: that one keeps near its own τ.
    const double dHigh = ask.dTauHigh;
    const double dLow = bTwo && ask.dSlowerThan > 0 ? ask.dSlowerThan * kPoleRatio : ask.dTauLow;
    for (size_t g = 0; g < kGrid && dHigh > dLow; ++g)
    {
        vCells.push_back(BestAt(d, ask, bTwo, bOuterSlow, dLow * std::pow(dHigh / dLow, static_cast<double>(g) / (kGrid - 1))));
    }
    const double dExact = bTwo ? (bOuterSlow ? ask.dTauSlow : ask.dTauFast) : ask.dTauOne;
    if (dExact > dLow && dExact < dHigh)
    {
        vCells.push_back(BestAt(d, ask, bTwo, bOuterSlow, dExact));
    }
    return vCells;
}

// Where between grid points a and b (by the outer τ) the profile crosses dBound: the cell on
// the bound's inside.
SCell Crossing(const SData& d, const SProfileAsk& ask, bool bTwo, bool bOuterSlow, const SCell& in, const SCell& out, double dBound)
{
    const auto outer = [&](const SCell& c) { return bOuterSlow || !bTwo ? c.dTau : c.dTauFast; };
    double a = std::log(outer(in)), b = std::log(outer(out));
    SCell best = in;
    for (int k = 0; k < kEdgeHalvings; ++k)
    {
        const SCell c = BestAt(d, ask, bTwo, bOuterSlow, std::exp((a + b) / 2));
        (c.dSse <= dBound ? a : b) = (a + b) / 2;
        best = c.dSse <= dBound ? c : best;
    }
    return best;
}

void Widen(SInterval& in, double dValue)
{
    in.dLow = in.bKnown ? std::min(in.dLow, dValue) : dValue;
    in.dHigh = in.bKnown ? std::max(in.dHigh, dValue) : dValue;
    in.bKnown = true;
}

// One model's region: its profile's cells within the bound of its least SSE; false where none
// rises or too few readings give its noise. *pbEdge: the region reaches the longest τ asked.
bool Region(const SData& all, const SProfileAsk& ask, bool bTwo, SFitIntervals* pOut, bool* pbEdge)
{
    SData d;
    const size_t nStride = bTwo ? std::max<size_t>(1, (all.vdT.size() + kTwoPolePoints - 1) / kTwoPolePoints) : 1;
    for (size_t i = 0; i < all.vdT.size(); ++i)
    {
        if (i % nStride == 0 || i + 1 == all.vdT.size())
        {
            d.vdT.push_back(all.vdT[i]);
            d.vdY.push_back(all.vdY[i]);
        }
    }
    const double n = static_cast<double>(d.vdT.size()), nParams = bTwo ? (ask.dFixedFast > 0 ? 6 : 5) : 3;
    std::vector<std::vector<SCell>> vvProfiles = {Profile(d, ask, bTwo, true)};
    if (bTwo && !(ask.dSlowerThan > 0))
    {
        vvProfiles.push_back(Profile(d, ask, bTwo, false));
    }
    const SCell* pBest = nullptr;
    for (const std::vector<SCell>& v : vvProfiles)
    {
        for (const SCell& c : v)
        {
            pBest = c.bRising && (pBest == nullptr || c.dSse < pBest->dSse) ? &c : pBest;
        }
    }
    if (pBest == nullptr || n <= nParams + 2)
    {
        return false;
    }
    // The noise: the residuals', and never less than a quantised sensor's own; widened for
    // their lag-one correlation, (1 + ρ)/(1 − ρ).
    const double dVar = std::max(pBest->dSse / (n - nParams), ask.dStep * ask.dStep / 12);
    const double dRho = pBest->dSse > 0 ? std::min(0.98, std::max(0.0, pBest->dLag / pBest->dSse)) : 0;
    const double dInflate = (1 + dRho) / (1 - dRho);
    const double dBound = pBest->dSse + kChi95 * dVar * dInflate;
    for (size_t p = 0; p < vvProfiles.size(); ++p)
    {
        std::vector<SCell> v = vvProfiles[p];
        const bool bOuterSlow = p == 0;
        std::sort(v.begin(), v.end(), [&](const SCell& x, const SCell& y) { return bOuterSlow ? x.dTau < y.dTau : x.dTauFast < y.dTauFast; });
        for (size_t i = 0; i < v.size(); ++i)
        {
            if (!(v[i].dSse <= dBound))
            {
                continue;
            }
            std::vector<SCell> vIn = {v[i]};
            for (const size_t j : {i - 1, i + 1})
            {
                if (j < v.size() && !(v[j].dSse <= dBound))
                {
                    vIn.push_back(Crossing(d, ask, bTwo, bOuterSlow, v[i], v[j], dBound));
                }
            }
            *pbEdge = *pbEdge || (bOuterSlow && i + 1 == v.size() && v[i].dTau >= ask.dTauHigh * 0.999);
            for (const SCell& c : vIn)
            {
                // At these τ, T∞ may move as far as the bound lets the SSE grow.
                const double dReach = std::sqrt(std::max(0.0, dBound - c.dSse) * c.dSteadyGain);
                Widen(pOut->steady, c.dSteady - dReach);
                Widen(pOut->steady, c.dSteady + dReach);
                if (c.dTau <= ask.dPriorCap)
                {
                    Widen(pOut->steadyAnyPole, c.dSteady - dReach);
                    Widen(pOut->steadyAnyPole, c.dSteady + dReach);
                }
                (bOuterSlow ? Widen(pOut->tau, c.dTau) : Widen(pOut->tauFast, c.dTauFast));
            }
        }
    }
    if (pOut->nModels == 0 || std::sqrt(dVar) < pOut->dNoise)
    {
        pOut->dNoise = std::sqrt(dVar);
        pOut->dInflate = dInflate;
    }
    ++pOut->nModels;
    return true;
}

} // namespace

SFitIntervals ProfileIntervals(const double* pdT, const double* pdY, size_t nPoints, const SProfileAsk& ask)
{
    SFitIntervals out;
    if (nPoints < 8 || !(ask.dTauLow > 0) || !(ask.dTauHigh > ask.dTauLow))
    {
        return out;
    }
    const SData d{std::vector<double>(pdT, pdT + nPoints), std::vector<double>(pdY, pdY + nPoints)};
    bool bEdge = false;
    // Two poles the readings showed rule one out; one pole leaves room for a slower second.
    if (!ask.bTwoChosen && !(ask.dSlowerThan > 0))
    {
        Region(d, ask, false, &out, &bEdge);
    }
    if (ask.bTwoChosen || ask.bWithTwo)
    {
        Region(d, ask, true, &out, &bEdge);
    }
    // A bound on the grid's edge is no bound: the readings allow a τ beyond it.
    if (bEdge && !ask.bCapIsPrior)
    {
        out.steady.bKnown = out.tau.bKnown = false;
    }
    return out;
}
