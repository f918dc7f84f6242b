// SPDX-License-Identifier: MIT
// A zone's thermal model: one pole or two fitted to its rise, the choice between them, and
// how far T∞ can be trusted.
#pragma once

#include <string>
#include <vector>

#include "FitInterval.h"
#include "SoakData.h"

// The least-squares slope of a zone's readings from some time on, in C per µs, and its
// standard error.
struct SSlope
{
    bool bKnown = false;
    double dSlope = 0;
    double dError = 0;
    double dMidT = 0;
};

// A zone's rise as a Foster network of one or two stages: T(t) = T∞ − A·e^(−t/τ₁) − B·e^(−t/τ₂),
// A 0 with one pole. Temperatures in C, times in µs.
struct SModel
{
    int nPoles = 0;
    double dSteady = 0;   // T∞
    double dFast = 0;     // A, the fast pole's rise: the die's own
    double dSlow = 0;     // B, the slow pole's: the package and board
    double dTauFast = 0;  // τ₁
    double dTau = 0;      // τ₂, the slow and dominant one; a one-pole model's only one
    double At(double dT) const;
    double Slope(double dT) const;  // C per µs
    double Start() const { return dSteady - dFast - dSlow; }
};

// What the thermal model says of a zone, or why it says nothing.
struct SZoneFit
{
    bool bFitted = false;
    bool bFlat = false;     // it rose too little to fit: still, not unsettled
    std::string strWhy;
    SModel model;
    double dRms = 0;        // of the residuals, C
    double dR2 = 0;         // 1 − SSE / SST
    std::string strPoles;   // why one pole, or two: the criterion and its figures
    bool bFastTold = false; // the fast pole is longer than INTERVAL can tell
    SFitIntervals intervals;  // of T∞ and the time constants, at 95 %
    double dStep = 0;       // C: the sensor's step, within which no fit can place T∞
    size_t nPoints = 0;
    double dSpan = 0;       // µs from the load's start to the last reading fitted
    double dLast = 0;       // the last reading fitted, C
};

// The model of zone k's readings over rows (the soak's, before anything bent the rise), which
// rose from llRiseFrom (m°C); strBent says what bent it, "" where nothing did.
SZoneFit FitZone(const SSoakTrace& trace, size_t k, SRows rows, double dInterval, tint64 llRiseFrom, const std::string& strBent);

// The least-squares line through the readings (µs, C) from dFrom on: its slope, and the
// slope's standard error from the line's own scatter; bKnown false with fewer than four.
SSlope SlopeFrom(const std::vector<double>& vdT, const std::vector<double>& vdY, double dFrom);

// The least-squares slope of zone k's readings over the last third of rows, every one of them,
// the span from the load's start to the last, and the sensor's step (C) between readings.
SSlope TailSlope(const SSoakTrace& trace, size_t k, SRows rows, double* pdSpan, double* pdStep);
