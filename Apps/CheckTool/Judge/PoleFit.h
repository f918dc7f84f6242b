// SPDX-License-Identifier: MIT
// A least-squares fit of a two-pole step response, T(t) = T∞ − A·e^(−t/τ₁) − B·e^(−t/τ₂):
// a die that heats fast on a board that heats slowly, two stages of a Foster network.
#pragma once

#include <cstddef>

struct SPoleFit
{
    bool bFitted = false;
    double dTauFast = 0;  // τ₁, in the times' unit
    double dTauSlow = 0;  // τ₂ > τ₁
    double dSteady = 0;   // T∞
    double dFast = 0;     // A: how far the fast pole rises
    double dSlow = 0;     // B: and the slow one
    double dSse = 0;      // the sum of squared residuals
};

// For given time constants the model is linear in T∞, A and B, so a search over (τ₁, τ₂)
// alone, on a log grid between dTauLow and dTauHigh with τ₂ at least twice τ₁, then refined,
// finds the least squares. pdT and pdY hold nPoints times and values.
SPoleFit FitTwoPoles(const double* pdT, const double* pdY, size_t nPoints, double dTauLow, double dTauHigh);
