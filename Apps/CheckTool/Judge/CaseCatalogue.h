// SPDX-License-Identifier: MIT
// Every case the check gives: its name's pattern, its units and what it means, in one table.
#pragma once

#include <cstddef>
#include <string>

#include "SoakData.h"

enum class ECase
{
    SummaryRet,
    WorkersPinned,
    CpuBusy,
    StopSigint,
    TempMax,
    TempRise,
    TempTau,
    TempTauFast,
    TempSteady,
    ThermalResistance,
    SustainablePower,
    LimitTemp,
    PowerMean,
    PowerMax,
    PowerIdle,
    PowerLoad,
    LimitPower,
    Energy,
    Cooling,
    NoZone,
    NoZoneLimit,
    NoMeter,
    NoMeterLimit,
    FreqMin,
    LimitFreq,
    ThrottleOnset,
    ThrottleTime,
    ClockMeasured,
    PowerOpp,
    DynamicPowerCoefficient,
    OppRestore,
    SummaryRetOf,
    WorkersPinnedOf,
    CpuBusyOf,
    StopSigintOf,
    PowerCluster,
    EnergyModelLinear,
};

// A case's name is its prefix and the name of what it is of: "temp-max-" and "soc". In the
// pattern the latter is a placeholder in capitals ("ZONE", "cpuCPU", "cpuCPU-MHZ"), or nothing.
struct SCaseKind
{
    ECase eCase;
    const char* pszPrefix;
    const char* pszOf;
    const char* pszUnits;  // "" for a verdict, which has no figure
    const char* pszMeaning;
};

extern const SCaseKind kCaseKinds[];
extern const size_t kCaseKindCount;

const SCaseKind& CaseKind(ECase eCase);

// The case's name, for what it is of: CaseName(ECase::TempMax, "soc") is "temp-max-soc".
std::string CaseName(ECase eCase, const std::string& strOf = "");

// "cpuK", as a per-CPU case names its CPU.
std::string CpuOf(int nCPU);

// "1200" for 1200000 kHz, "403_2" for 403200: a case name holds no dot.
std::string MhzName(tint64 llKHz);

// The measurement case eCase of strOf: its figure in the case's units, and the details after it.
SCase Measured(ECase eCase, const std::string& strOf, const std::string& strFigure, const std::string& strRest);
// A verdict without a figure; and a skip, which says why.
SCase Verdict(ECase eCase, const std::string& strOf, bool bPass, const std::string& strDetails);
SCase Skipped(ECase eCase, const std::string& strOf, const std::string& strDetails);

// The kind a case's name is of (the longest prefix whose placeholder the rest fills), or null.
const SCaseKind* FindCaseKind(const std::string& strName);

// The table as --cases prints it: "NAME\tUNITS\tMEANING" a line, "-" for a verdict's units.
std::string CaseTable();
