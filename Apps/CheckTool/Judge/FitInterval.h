// SPDX-License-Identifier: MIT
// How far a zone's fitted figures can be trusted: 95 % intervals from the profile of the fit's
// sum of squares, over one pole and two, with the readings' noise as it runs.
#pragma once

#include <cstddef>
#include <string>

// A figure's interval, in the figure's unit; bKnown false where the readings cannot bound it.
struct SInterval
{
    bool bKnown = false;
    double dLow = 0;
    double dHigh = 0;
    bool Holds(double d) const { return bKnown && d >= dLow && d <= dHigh; }
    double Width() const { return dHigh - dLow; }
};

// T∞, the slow pole's τ and the fast one's, from nPoints readings (times in µs, values in C).
struct SFitIntervals
{
    SInterval steady;
    SInterval steadyAnyPole;  // T∞ allowing a slower pole than the readings show, up to ten times the soak
    SInterval tau;
    SInterval tauFast;
    double dNoise = 0;     // C: the residuals' standard deviation, of the better model
    double dInflate = 1;   // how much their run from sample to sample widens the interval
    int nModels = 0;       // the models whose profile the interval spans: one pole, or both
};

// What the profile is asked: the τ the grid spans, the fits' own time constants (the least of
// each model, put on the grid), the sensor's step (C), and which models it spans.
struct SProfileAsk
{
    double dTauLow = 0;
    double dTauHigh = 0;
    double dTauOne = 0;
    double dTauFast = 0;
    double dTauSlow = 0;
    double dStep = 0;
    bool bTwoChosen = false;  // the readings showed two poles: one is ruled out
    bool bWithTwo = false;    // with one pole chosen, a slower second the soak cannot see yet
    bool bCapIsPrior = false; // τ beyond dTauHigh is ruled out, not merely unseen: a bound there holds
    double dPriorCap = 0;     // µs: steadyAnyPole spans the region's cells whose slow τ is within it
    double dSlowerThan = 0;   // a slower pole than the slow one seen, of this τ (µs), which stays
                              // within half and twice it
    double dFixedFast = 0;    // and beside it the fast pole seen, of this τ, held (µs); 0: none
};

// Every (τ) of one pole and (τ₁, τ₂) of two on a log grid over the asked span, then finely
// over the region found: for each the model is linear in T∞ and the rises, so its least squares
// are exact. A point lies in the 95 % region where its sum of squares exceeds its model's least
// by less than χ²₁(0.95) times the noise's variance, that variance widened by (1 + ρ)/(1 − ρ)
// for the residuals' lag-one correlation ρ (a sensor's filter, whole degrees at rest, a model
// too simple). Only rising cells count. The interval spans the regions of the models asked.
SFitIntervals ProfileIntervals(const double* pdT, const double* pdY, size_t nPoints, const SProfileAsk& ask);
