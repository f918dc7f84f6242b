// SPDX-License-Identifier: MIT
// A least-squares fit of a first-order step response, T(t) = T∞ − (T∞ − T₀)·e^(−t/τ).
#pragma once

#include <cstddef>

struct SStepFit
{
    bool bFitted = false;
    double dTau = 0;      // s
    double dSteady = 0;   // T∞
    double dStart = 0;    // T₀, at t = 0
    double dRms = 0;      // of the residuals
    double dR2 = 0;       // 1 − SSE / SST
    bool bAtShortest = false;  // τ at the shortest the search tried
    bool bAtLongest = false;   // and at the longest
};

// For a given τ the model is linear in T∞ and T₀, so a search over τ alone, on a log scale
// between dTauLow and dTauHigh then refined, finds the least squares. pdT and pdY hold nPoints
// times (s) and values.
SStepFit FitStep(const double* pdT, const double* pdY, size_t nPoints, double dTauLow, double dTauHigh);
