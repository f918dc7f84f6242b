// SPDX-License-Identifier: MIT
// The profile of a one- or two-pole fit's sum of squares over its time constants, and the
// 95 % intervals of T∞ and the time constants it gives.
#include "FitInterval.h"

#include <algorithm>
#include <initializer_list>
#include <cmath>
#include <vector>

namespace
{

// χ²₁ at 95 %: the profile's bound for one figure.
const double kChi95 = 3.841;
// The grid: this many time constants, log-spaced.
const size_t kGrid = 72;
// At most this many readings go into the two-pole grid, evenly spread.
const size_t kTwoPolePoints = 400;

// Solves the n×n system (n ≤ 3) a·x = b by Gaussian elimination; false where it is singular.
bool Solve(double a[3][3], double b[3], int n, double x[3])
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

// One point of the profile: its time constants, the least squares' T∞ and rises, and its SSE.
struct SCell
{
    double dTauFast = 0;  // 0 with one pole
    double dTau = 0;
    double dSteady = 0;
    bool bRising = false;  // every rise positive
    double dSse = HUGE_VAL;
    double dSteadyGain = 0;  // how fast the SSE grows as T∞ moves off its least, the others refitted: ΔSSE = ΔT∞² / it
};

// The model's basis at every reading for each τ of the grid: e^(−t/τ), and the sums the normal
// equations take.
struct SBasis
{
    std::vector<double> vdTau;
    std::vector<std::vector<double>> vvdE;
    std::vector<double> vdSumE, vdSumEE, vdSumYE;
    double dSumY = 0, dSumYY = 0, n = 0;
};

SBasis MakeBasis(const double* pdT, const double* pdY, size_t nPoints, const std::vector<double>& vdTaus)
{
    SBasis b;
    b.n = static_cast<double>(nPoints);
    for (size_t i = 0; i < nPoints; ++i)
    {
        b.dSumY += pdY[i];
        b.dSumYY += pdY[i] * pdY[i];
    }
    for (const double dTau : vdTaus)
    {
        std::vector<double> vdE(nPoints);
        double dE = 0, dEE = 0, dYE = 0;
        for (size_t i = 0; i < nPoints; ++i)
        {
            vdE[i] = std::exp(-pdT[i] / dTau);
            dE += vdE[i];
            dEE += vdE[i] * vdE[i];
            dYE += pdY[i] * vdE[i];
        }
        b.vdTau.push_back(dTau);
        b.vvdE.push_back(std::move(vdE));
        b.vdSumE.push_back(dE);
        b.vdSumEE.push_back(dEE);
        b.vdSumYE.push_back(dYE);
    }
    return b;
}

// y = T∞ − B·e₂ (g1 < 0), or T∞ − A·e₁ − B·e₂: least squares at grid points g1, g2.
SCell FitCell(const SBasis& b, int g1, size_t g2)
{
    SCell cell;
    cell.dTau = b.vdTau[g2];
    double a[3][3] = {{b.n, -b.vdSumE[g2], 0}, {-b.vdSumE[g2], b.vdSumEE[g2], 0}, {0, 0, 0}};
    double r[3] = {b.dSumY, -b.vdSumYE[g2], 0};
    int n = 2;
    if (g1 >= 0)
    {
        const size_t i1 = static_cast<size_t>(g1);
        cell.dTauFast = b.vdTau[i1];
        double dE12 = 0;
        for (size_t i = 0; i < b.vvdE[i1].size(); ++i)
        {
            dE12 += b.vvdE[i1][i] * b.vvdE[g2][i];
        }
        a[0][2] = a[2][0] = -b.vdSumE[i1];
        a[1][2] = a[2][1] = dE12;
        a[2][2] = b.vdSumEE[i1];
        r[2] = -b.vdSumYE[i1];
        n = 3;
    }
    double aCopy[3][3], rCopy[3], x[3] = {0, 0, 0};
    std::copy(&a[0][0], &a[0][0] + 9, &aCopy[0][0]);
    std::copy(r, r + 3, rCopy);
    if (!Solve(aCopy, rCopy, n, x))
    {
        return cell;
    }
    // (AᵀA)⁻¹'s first diagonal element: T∞'s own share of the SSE's curvature.
    double aInv[3][3], e0[3] = {1, 0, 0}, col[3] = {0, 0, 0};
    std::copy(&a[0][0], &a[0][0] + 9, &aInv[0][0]);
    if (!Solve(aInv, e0, n, col))
    {
        return cell;
    }
    cell.dSteadyGain = std::max(0.0, col[0]);
    // SSE = Σy² − 2xᵀr + xᵀAx, from the sums alone.
    double dSse = b.dSumYY;
    for (int i = 0; i < n; ++i)
    {
        dSse -= 2 * x[i] * r[i];
        for (int j = 0; j < n; ++j)
        {
            dSse += x[i] * a[i][j] * x[j];
        }
    }
    cell.dSteady = x[0];
    cell.bRising = x[1] > 0 && (n == 2 || x[2] > 0);
    cell.dSse = std::max(0.0, dSse);
    return cell;
}

// The lag-one correlation of the best cell's residuals, as (1 + ρ)/(1 − ρ), at least 1.
double Inflation(const SBasis& b, const SCell& best, const double* pdY, size_t nPoints, int g1, size_t g2)
{
    // The rises from the model's T∞ and its SSE are not kept; refit the residuals' shape.
    std::vector<double> vdR(nPoints);
    double a[3][3] = {{b.n, -b.vdSumE[g2], 0}, {-b.vdSumE[g2], b.vdSumEE[g2], 0}, {0, 0, 0}};
    double r[3] = {b.dSumY, -b.vdSumYE[g2], 0};
    int n = 2;
    if (g1 >= 0)
    {
        const size_t i1 = static_cast<size_t>(g1);
        double dE12 = 0;
        for (size_t i = 0; i < nPoints; ++i)
        {
            dE12 += b.vvdE[i1][i] * b.vvdE[g2][i];
        }
        a[0][2] = a[2][0] = -b.vdSumE[i1];
        a[1][2] = a[2][1] = dE12;
        a[2][2] = b.vdSumEE[i1];
        r[2] = -b.vdSumYE[i1];
        n = 3;
    }
    double x[3] = {best.dSteady, 0, 0};
    if (!Solve(a, r, n, x))
    {
        return 1;
    }
    for (size_t i = 0; i < nPoints; ++i)
    {
        vdR[i] = pdY[i] - x[0] + x[1] * b.vvdE[g2][i] + (g1 >= 0 ? x[2] * b.vvdE[static_cast<size_t>(g1)][i] : 0);
    }
    double dLag = 0, dVar = 0;
    for (size_t i = 0; i < nPoints; ++i)
    {
        dVar += vdR[i] * vdR[i];
        dLag += i > 0 ? vdR[i] * vdR[i - 1] : 0;
    }
    const double dRho = dVar > 0 ? std::min(0.98, std::max(0.0, dLag / dVar)) : 0;
    return (1 + dRho) / (1 - dRho);
}

// log-spaced τ from dLow to dHigh, n of them, and the exact ones given.
std::vector<double> Taus(double dLow, double dHigh, size_t n, std::initializer_list<double> exact)
{
    std::vector<double> vd;
    for (size_t g = 0; g < n; ++g)
    {
        vd.push_back(dLow * std::pow(dHigh / dLow, static_cast<double>(g) / static_cast<double>(n - 1)));
    }
    for (const double d : exact)
    {
        if (d > 0)
        {
            vd.push_back(d);
        }
    }
    std::sort(vd.begin(), vd.end());
    return vd;
}

// Every rising cell of one model over a basis: (τ) or (τ₁ < τ₂ / 1.2), and the least.
struct SCells
{
    std::vector<SCell> vCells;
    size_t iBest = 0;
    int g1Best = -1;
    size_t g2Best = 0;
};

SCells Scan(const SBasis& b, bool bTwo)
{
    SCells out;
    for (size_t g2 = 0; g2 < b.vdTau.size(); ++g2)
    {
        for (int g1 = bTwo ? 0 : -1; bTwo ? b.vdTau[static_cast<size_t>(g1)] * 1.2 < b.vdTau[g2] : g1 < 0; ++g1)
        {
            const SCell cell = FitCell(b, g1, g2);
            if (!cell.bRising)
            {
                continue;
            }
            if (out.vCells.empty() || cell.dSse < out.vCells[out.iBest].dSse)
            {
                out.iBest = out.vCells.size();
                out.g1Best = g1;
                out.g2Best = g2;
            }
            out.vCells.push_back(cell);
        }
    }
    return out;
}

// The region of one model: its cells within the bound of its least SSE, on a coarse grid over
// dLow to dHigh, then a fine one over what the coarse one found; false where none rises or too
// few readings give its noise. *pbEdge: the region reaches the grid's longest τ.
bool Region(const double* pdTAll, const double* pdYAll, size_t nAll, const SProfileAsk& ask, bool bTwo, SFitIntervals* pOut, bool* pbEdge)
{
    // Two poles' grid is a square: its readings are thinned to bound its cost.
    std::vector<double> vdT, vdY;
    const size_t nStride = bTwo ? std::max<size_t>(1, (nAll + kTwoPolePoints - 1) / kTwoPolePoints) : 1;
    for (size_t i = 0; i < nAll; ++i)
    {
        if (i % nStride == 0 || i + 1 == nAll)
        {
            vdT.push_back(pdTAll[i]);
            vdY.push_back(pdYAll[i]);
        }
    }
    const double* pdT = vdT.data();
    const double* pdY = vdY.data();
    const size_t nPoints = vdT.size();
    const double nParams = bTwo ? 5 : 3;
    const std::initializer_list<double> exact = {bTwo ? ask.dTauFast : 0, bTwo ? ask.dTauSlow : ask.dTauOne};
    SBasis b = MakeBasis(pdT, pdY, nPoints, Taus(ask.dTauLow, ask.dTauHigh, kGrid, exact));
    SCells cells = Scan(b, bTwo);
    if (cells.vCells.empty() || static_cast<double>(nPoints) <= nParams + 2)
    {
        return false;
    }
    // The noise: the residuals', and never less than a quantised sensor's own.
    const double n = static_cast<double>(nPoints);
    double dVar = std::max(cells.vCells[cells.iBest].dSse / (n - nParams), ask.dStep * ask.dStep / 12);
    const double dInflate = Inflation(b, cells.vCells[cells.iBest], pdY, nPoints, cells.g1Best, cells.g2Best);
    double dBound = cells.vCells[cells.iBest].dSse + kChi95 * dVar * dInflate;
    double dLo1 = HUGE_VAL, dHi1 = 0, dLo2 = HUGE_VAL, dHi2 = 0;
    for (const SCell& cell : cells.vCells)
    {
        if (cell.dSse <= dBound)
        {
            dLo1 = std::min(dLo1, cell.dTauFast), dHi1 = std::max(dHi1, cell.dTauFast);
            dLo2 = std::min(dLo2, cell.dTau), dHi2 = std::max(dHi2, cell.dTau);
        }
    }
    *pbEdge = *pbEdge || dHi2 >= ask.dTauHigh * 0.999;
    // A step of the coarse grid beyond each side, finely.
    const double dStepRatio = std::pow(ask.dTauHigh / ask.dTauLow, 1.0 / (kGrid - 1));
    std::vector<double> vdFine = Taus(std::max(ask.dTauLow, dLo2 / dStepRatio), std::min(ask.dTauHigh, dHi2 * dStepRatio), kGrid, exact);
    if (bTwo)
    {
        const std::vector<double> vdFast = Taus(std::max(ask.dTauLow, dLo1 / dStepRatio), dHi1 * dStepRatio, kGrid, {});
        vdFine.insert(vdFine.end(), vdFast.begin(), vdFast.end());
        std::sort(vdFine.begin(), vdFine.end());
    }
    b = MakeBasis(pdT, pdY, nPoints, vdFine);
    cells = Scan(b, bTwo);
    dVar = std::max(dVar, ask.dStep * ask.dStep / 12);
    dBound = std::min(dBound, cells.vCells.empty() ? HUGE_VAL : cells.vCells[cells.iBest].dSse + kChi95 * dVar * dInflate);
    for (const SCell& cell : cells.vCells)
    {
        if (cell.dSse > dBound)
        {
            continue;
        }
        const auto widen = [](SInterval& in, double d) {
            in.dLow = in.bKnown ? std::min(in.dLow, d) : d;
            in.dHigh = in.bKnown ? std::max(in.dHigh, d) : d;
            in.bKnown = true;
        };
        // At this τ, T∞ may move as far as the bound lets the SSE grow.
        const double dReach = std::sqrt((dBound - cell.dSse) * cell.dSteadyGain);
        widen(pOut->steady, cell.dSteady - dReach);
        widen(pOut->steady, cell.dSteady + dReach);
        widen(pOut->tau, cell.dTau);
        if (bTwo)
        {
            widen(pOut->tauFast, cell.dTauFast);
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
    bool bEdge = false;
    // Two poles the readings showed rule one out; one pole leaves room for a slower second.
    if (!ask.bTwoChosen)
    {
        Region(pdT, pdY, nPoints, ask, false, &out, &bEdge);
    }
    if (ask.bTwoChosen || ask.bWithTwo)
    {
        Region(pdT, pdY, nPoints, ask, true, &out, &bEdge);
    }
    // A bound on the grid's edge is no bound: the readings allow a τ beyond it.
    if (bEdge)
    {
        out.steady.bKnown = out.tau.bKnown = false;
    }
    return out;
}
