// SPDX-License-Identifier: MIT
// One pass from a soak's samples to everything its verdicts need: each series, each zone's
// fit, the throttle, the bend, the meter the thermal resistance divides by.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "SoakData.h"

// Rows [iFirst, iEnd) of the trace: the baseline's, or the soak's.
struct SRows
{
    size_t iFirst = 0;
    size_t iEnd = 0;
    size_t Count() const { return iEnd - iFirst; }
};

// One sensor's readings over some rows.
struct SSeries
{
    size_t nGot = 0;
    tint64 llFirst = kMissing;
    tint64 llLast = kMissing;
    tint64 llHigh = kMissing;
    tint64 llLow = kMissing;
    long double ldSum = 0;
    size_t iBack = 0;  // the sample at which a counter first went back; 0: never
    tint64 llBackFrom = 0;
    tint64 llBackTo = 0;
    tint64 usBack = 0;
    tint64 Mean() const;
};

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
    double dSteadyError = 0;  // C: how far refits to the first 2/3 and 5/6 of the rise move T∞
    double dStep = 0;       // C: the sensor's step, within which no fit can place T∞
    size_t nPoints = 0;
    double dSpan = 0;       // µs from the load's start to the last reading fitted
    double dLast = 0;       // the last reading fitted, C
};

// A zone's reference for its rise and its thermal resistance: the baseline's mean where the
// baseline read it at rest, else its first reading in the soak.
struct SFrom
{
    bool bBaseline = false;
    tint64 llValue = 0;
    std::string strRestless;  // how the zone moved in a baseline that was no rest; "" otherwise
};

// When CPU K's clock was first capped below its ceiling, the highest it reached once the load
// began, and for how long: from cpufreq's time_in_state where it counts (it sees changes
// between samples), else from the sampled clock; with what the kernel says of a cap.
struct SThrottle
{
    bool bKnown = false;  // else strWhy says why nothing could tell
    std::string strWhy;
    tint64 llCeilingKHz = 0;
    std::string strTop;   // "1800 MHz"
    double dCeilingAt = 0;    // µs: when the clock first reached its ceiling
    tint64 llRampKHz = -1;    // the lowest clock before that, the governor's ramp; -1: none
    bool bThrottled = false;
    double dOnset = 0;    // µs since the load's start
    double dBelow = 0;    // µs below the ceiling
    tint64 llLowKHz = -1; // the lowest clock after the ceiling was reached; -1 where none was read
    bool bLowStates = false;  // time_in_state saw it
    tint64 llSampledLowKHz = -1;  // and the samples' lowest then
    std::string strOnsetHow;  // which evidence placed the onset, and how
    std::string strSource;
};

// A zone's thermal resistance on the meter: K/W, or why there is none.
struct SResistance
{
    bool bKnown = false;
    std::string strWhy;
    double dKPerW = 0;
    std::string strMeter;
    tint64 llIdle = 0;  // the meter at rest, µW
    tint64 llLoad = 0;  // and under the load: as the zone settles
    bool bAtSteady = false;  // at T∞ on a line through the later readings; else their median
};

// The power allocator's sustainable-power for a zone, or why there is none.
struct SSustain
{
    bool bKnown = false;
    std::string strWhy;
    double dMilliwatts = 0;
    tint64 llTarget = 0;           // m°C
    std::string strTarget;         // where the target came from
    tint64 llControl = kMissing;   // its highest passive trip point
    tint64 llSwitchOn = kMissing;  // its lowest, where it has two
};

struct SSensorAnalysis
{
    SSeries soak;
    SSeries base;
    bool bImplausible = false;  // a zone none of whose readings a running board gives in m°C
    SFrom from;      // a zone's
    SZoneFit fit;    // a zone's, where the soak read it
    SSlope tail;     // a zone's over the soak's last third, every reading: is it still?
    bool bTail = false;
    double dTailSpan = 0;  // µs from the load's start to its last reading
    double dStep = 0;      // C between a zone's readings: its sensor's resolution
    SResistance resistance;  // a zone's
    SSustain sustain;
};

// The meter thermal resistance divides by, and what the load added at it.
struct SMeterLoad
{
    int iMeter = -1;  // -1: none, strWhy says why
    std::string strWhy;
    SSeries load;     // its readings in the soak before anything bent the rise
    SRows rowsLate;   // the later half of their rows
    tint64 llLoad = 0;        // the median of the later half: a meter that averages lags the step
    tint64 llResolution = 1;  // the least difference of means it resolves
};

struct SSoakAnalysis
{
    SRows rowsBase;
    SRows rowsSoak;
    tint64 usSoak = 0;  // from the soak's first sample to its last
    // CPU K's busy and total time over the soak, where both ends were read.
    bool bBusy = false;
    tint64 usBusy = 0;
    tint64 usSpent = 0;
    double dBaselineBusy = 0;  // its busy share in the baseline; 0 where it cannot be told
    std::vector<SSensorAnalysis> vSensors;
    SSeries clock;
    SThrottle throttle;
    // Where the soak stopped being a plain step of load, and what bent it; HUGE_VAL: nothing.
    double dBend = 0;
    std::string strBent;
    SMeterLoad meter;
};

SSoakAnalysis AnalyseSoak(const SSoakSetup& setup, const SSoakTrace& trace);

// ", CPU K N % busy in it": the baseline's busy share, where it had two samples.
std::string RestNote(const SSoakSetup& setup, const SSoakAnalysis& analysis);

// Why a zone's readings cannot be judged, where none of them is plausible.
extern const char kImplausible[];

// What earlier looks at a growing soak saw of each zone's model: steady needs it to hold.
struct SSteadyWatch
{
    struct SLook
    {
        int nPoles = 0;
        double dSteady = 0;
        double dTau = 0;
    };
    std::vector<std::vector<SLook>> vvLooks;  // a zone's, the latest last
};

// True once every zone is still and each that rose has been seen for 3 τ of its slow pole,
// with its model's T∞ within 0.5 C over the last three looks and its poles unchanged; pstrWhy
// then says so. Each call is a look, which pWatch keeps.
bool SoakIsSteady(const SSoakSetup& setup, const SSoakAnalysis& analysis, SSteadyWatch* pWatch, std::string* pstrWhy);
