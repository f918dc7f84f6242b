// SPDX-License-Identifier: MIT
// One pass from what was asked, the board and the run to everything the verdicts need: each
// series, each zone's fit, the throttle, the bend, the meter the thermal resistance divides by.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "SoakData.h"
#include "SoakParams.h"
#include "SoakThrottle.h"
#include "TripHold.h"
#include "ZoneFit.h"

// A zone is still when it would not move 0.5 C in this long (µs) at its pace: a minute.
const double kStillHorizon = 60e6;

// A zone's reference for its rise and its thermal resistance: the baseline's mean where the
// baseline read it at rest, else its first reading in the soak.
struct SFrom
{
    bool bBaseline = false;
    tint64 llValue = 0;
    std::string strRestless;  // how the zone moved in a baseline that was no rest; "" otherwise
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
    STripHold hold;                // the zone held at the target, a passive trip, where it was
    bool bProjected = false;       // the projection from the thermal resistance, where it was made
    double dProjectedMw = 0;
};

struct SSensorAnalysis
{
    SSensor sensor;  // as the board named it
    SSeries soak;
    SSeries base;
    bool bImplausible = false;   // a zone whose readings, as a whole, are no temperatures in m°C
    std::string strImplausible;  // what was implausible in them
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
    tint64 usPlanned = 0;  // as the run was to last, and how it ended where not so
    std::string strEnded;
    bool bCut = false;
    SCycles cycles;
    SToolTime tool;        // its span the soak's where the run read none
    double dToolShare = 0; // of a CPU, over that span; 0 where it was not read
    std::string strCurFreqWhy;  // the board's: why scaling_cur_freq gave nothing
    // CPU K's busy and total time over the soak, where both ends were read.
    bool bBusy = false;
    tint64 usBusy = 0;
    tint64 usSpent = 0;
    double dBaselineBusy = 0;  // its busy share in the baseline; 0 where it cannot be told
    std::vector<SCpuLoad> vLoads;  // with a list of CPUs, each one's, tool spans as the tool's above
    std::vector<SSensorAnalysis> vSensors;
    SSeries clock;
    SThrottle throttle;
    // Where the soak stopped being a plain step of load, and what bent it; HUGE_VAL: nothing.
    double dBend = 0;
    std::string strBent;
    SMeterLoad meter;
};

SSoakAnalysis AnalyseSoak(const SCheckParams& asked, const SBoard& board, const SSoakRun& run);

// The meter thermal resistance divides by: POWER_METER's, or the only one; -1 and why when none.
int ChooseMeter(const std::string& strPowerMeter, const std::vector<SSensor>& vSensors, std::string* pstrWhy);

// ", CPU K N % busy in it": the baseline's busy share, where it had two samples.
std::string RestNote(const SCheckParams& asked, const SSoakAnalysis& analysis);
