// SPDX-License-Identifier: MIT
// A policy's operating points swept under the load: what the load adds at each, its leakage
// left out, the dynamic-power coefficient fitted over them; with several of its CPUs loaded,
// one core's power and the cluster's shared part at each.
#pragma once

#include <string>
#include <vector>

#include "ClusterFit.h"
#include "SoakAnalysis.h"

// One operating point as the sweep held it: with the load held still, under it, and held
// still again while the die cools: the board's power without the load over the temperatures
// the load brought.
struct SSweepPoint
{
    tint64 llKHz = 0;
    std::string strNotHeld;  // why the clock could not be held there; "" where it was
    SRows rest;              // rows of the sweep's trace with the tool stopped
    SRows load;              // and running again, every loaded CPU of the policy
    std::vector<SRows> vBusy;  // with 1, 2, ... of them running, the last as load
    SRows after;             // and stopped again
    tint64 llMicroVolts = kMissing;  // from the kernel's table of operating points
};

// What the program did and read; the pure side judges it.
struct SSweep
{
    std::string strWhy;  // why nothing was swept; "" where it was
    int iMeter = -1;     // the sensor whose power is measured
    int iZone = -1;      // the zone whose temperature the leakage follows; -1: none
    std::string strCPU;  // K: the CPU, or the first of the policy swept
    std::vector<int> vnBusy;  // the policy's loaded CPUs, in the order they were brought in
    std::string strMeter;
    std::string strZone;
    std::vector<tint64> vllOppKHz;  // every operating point, highest first
    SSoakTrace trace;
    std::vector<SSweepPoint> vPoints;  // lowest first
    std::string strVolts;  // where the voltages were looked for
    tint64 llDtCoefficient = kMissing;  // the device tree's own, µW/MHz/V²
    std::string strBefore;   // the policy's bounds before the sweep, as read
    std::string strRestore;  // "" where they read back the same; else what they read
};

// The lowest and highest of some readings.
struct SSpan
{
    double dLow = 0;
    double dHigh = 0;
};

// A point's power: the load's readings less the board's without it at the same temperature.
struct SPointPower
{
    bool bKnown = false;
    std::string strWhy;
    double dStepUw = 0;       // what the load adds, the leakage its heat brings left out
    double dErrorUw = 0;      // twice its standard error, from the readings' scatter
    bool bFollowed = false;    // a zone was read beside every reading of the meter
    bool bLeakFitted = false;  // and the power without the load moved with it
    double dLeakUwPerMc = 0;  // its slope: µW/m°C, mW/K
    SSpan restUw, restMc;     // the readings with the load held still
    SSpan loadUw, loadMc;     // and under it
};

struct SCoefficient
{
    bool bKnown = false;
    std::string strWhy;
    double dValue = 0;  // µW/MHz/V²
    double dError = 0;  // twice its standard error, from the points' own
    double dRmsUw = 0;  // of the residuals
    size_t nPoints = 0;
};

struct SSweepAnalysis
{
    std::vector<SPointPower> vPoints;  // as the sweep's: one core's power at each
    std::vector<SClusterFit> vClusters;  // with several CPUs loaded, each point's line
    SCoefficient coefficient;
};

// Whether a clock read holds the operating point llKHz: it lies nearer to it than to any other
// of the table, or within 2 % where the table has no other.
bool HoldsClock(tint64 llReadKHz, tint64 llKHz, const std::vector<tint64>& vllOppKHz);

// The zone the leakage is followed by: of those the soak read in m°C, the one the load
// heated most, the die's own on most boards; -1 where none rose.
int ChooseLeakZone(const SSoakAnalysis& soak);

SSweepAnalysis AnalyseSweep(const SSweep& sweep);

// power-opp-cpuK-MHZ for each point (and power-cluster-cpuK-MHZ with several CPUs),
// dynamic-power-coefficient-cpuK, energy-model-linear-cpuK with several, and opp-restore-cpuK.
std::vector<SCase> JudgeSweep(int nCPU, const SSweep& sweep, const SSweepAnalysis& a);

// "hogspin-dt,cpuK,dynamic-power-coefficient=N\n" where it is known, else "".
std::string SweepLines(int nCPU, const SSweepAnalysis& a);
