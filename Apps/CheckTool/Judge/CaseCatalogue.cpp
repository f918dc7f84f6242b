// SPDX-License-Identifier: MIT
// Every case the check gives: its name's pattern, its units and what it means, in one table.
#include "CaseCatalogue.h"

#include "NumberText.h"

const SCaseKind kCaseKinds[] = {
    {ECase::SummaryRet, "summary-ret", "", "", "the tool's summary line says every worker was pinned to CPU"},
    {ECase::WorkersPinned, "workers-pinned", "", "", "each of the tool's workers may run on CPU alone, and last ran there"},
    {ECase::CpuBusy, "cpu-busy", "", "", "CPU was busy through the soak, at least a tenth of it with the tool's load"},
    {ECase::StopSigint, "stop-sigint", "", "", "after SIGINT the tool, and all it started, ended within STOP_BOUND with status 0 and its exit line"},
    {ECase::TempMax, "temp-max-", "ZONE", "C", "the zone's highest reading of the soak"},
    {ECase::TempRise, "temp-rise-", "ZONE", "C", "the zone's highest reading above its baseline mean (or its first reading)"},
    {ECase::TempTau, "temp-tau-", "ZONE", "s", "the time constant of the zone's rise: its slow pole where it has two"},
    {ECase::TempTauFast, "temp-tau-fast-", "ZONE", "s", "the fast pole's time constant of a two-pole rise: the die's own"},
    {ECase::TempSteady, "temp-steady-", "ZONE", "C", "where the zone's fitted rise settles, T-infinity"},
    {ECase::ThermalResistance, "thermal-resistance-", "ZONE", "K/W", "the zone's steady rise over the power the load added at the meter"},
    {ECase::SustainablePower, "sustainable-power-", "ZONE", "mW", "the meter's power at which the zone would settle at its target, the power allocator's sustainable-power"},
    {ECase::LimitTemp, "limit-temp-", "ZONE", "", "the zone's highest reading is within MAX_TEMP"},
    {ECase::PowerMean, "power-mean-", "METER", "W", "the meter's mean over the soak"},
    {ECase::PowerMax, "power-max-", "METER", "W", "the meter's highest reading of the soak"},
    {ECase::PowerIdle, "power-idle-", "METER", "W", "the meter's mean over the baseline, before the load"},
    {ECase::PowerLoad, "power-load-", "METER", "W", "what the load added at the meter: the soak's mean less the idle mean"},
    {ECase::LimitPower, "limit-power-", "METER", "", "the meter's highest reading is within MAX_POWER"},
    {ECase::Energy, "energy-", "METER", "J", "what the energy counter counted over the soak"},
    {ECase::Cooling, "cooling-", "DEVICE", "s", "the time the cooling device spent above state 0 in the soak"},
    {ECase::NoZone, "temp-max", "", "", "a skip: the board has no thermal zone, or none could be read"},
    {ECase::NoZoneLimit, "limit-temp", "", "", "fails where MAX_TEMP was asked and no zone could be judged"},
    {ECase::NoMeter, "power-max", "", "", "a skip: the board has no power meter, or none could be read"},
    {ECase::NoMeterLimit, "limit-power", "", "", "fails where MAX_POWER was asked and no meter could be judged"},
    {ECase::FreqMin, "freq-min-", "cpuCPU", "MHz", "CPU's lowest clock of the soak, once it had reached its ceiling"},
    {ECase::LimitFreq, "limit-freq-", "cpuCPU", "", "CPU's lowest clock is at least MIN_FREQ"},
    {ECase::ThrottleOnset, "throttle-onset-", "cpuCPU", "s", "when CPU's clock was first capped below its ceiling; \"never\" where it was not"},
    {ECase::ThrottleTime, "throttle-time-", "cpuCPU", "s", "how long CPU's clock was below its ceiling"},
    {ECase::ClockMeasured, "clock-measured-", "cpuCPU", "MHz", "the clock CPU really ran: its cycles over the time it was busy"},
    {ECase::PowerOpp, "power-opp-", "cpuCPU-MHZ", "W", "with OPP_SWEEP, what the load adds at one operating point, its leakage left out; with several of a policy's CPUs, one core's: the slope in busy CPUs"},
    {ECase::DynamicPowerCoefficient, "dynamic-power-coefficient-", "cpuCPU", "uW/MHz/V2", "with OPP_SWEEP, C in C·V²·f fitted over the operating points"},
    {ECase::OppRestore, "opp-restore-", "cpuCPU", "", "with OPP_SWEEP, CPU's policy bounds read back as they were before the sweep"},
    // With a list of CPUs the four above are judged for each CPU's tool, and pass where all do.
    {ECase::SummaryRetOf, "summary-ret-", "cpuCPU", "", "with a list of CPUs, summary-ret of the tool on CPU"},
    {ECase::WorkersPinnedOf, "workers-pinned-", "cpuCPU", "", "with a list of CPUs, workers-pinned of the tool on CPU"},
    {ECase::CpuBusyOf, "cpu-busy-", "cpuCPU", "", "with a list of CPUs, cpu-busy of CPU, its tool's share counted alone"},
    {ECase::StopSigintOf, "stop-sigint-", "cpuCPU", "", "with a list of CPUs, stop-sigint of the tool on CPU"},
    {ECase::PowerCluster, "power-cluster-", "cpuCPU-MHZ", "W", "with OPP_SWEEP and several of a policy's CPUs, its shared part at one operating point beyond rest: the intercept in busy CPUs, CPU the policy's first"},
    {ECase::EnergyModelLinear, "energy-model-linear-", "cpuCPU", "", "with OPP_SWEEP and three or more of a policy's CPUs, whether each further busy CPU adds the same power"},
};
const size_t kCaseKindCount = sizeof(kCaseKinds) / sizeof(kCaseKinds[0]);

const SCaseKind& CaseKind(ECase eCase)
{
    // The table is in the enumeration's order: a row out of place is caught by the tests.
    return kCaseKinds[static_cast<size_t>(eCase)];
}

std::string CaseName(ECase eCase, const std::string& strOf)
{
    return CaseKind(eCase).pszPrefix + strOf;
}

std::string CpuOf(int nCPU)
{
    return "cpu" + std::to_string(nCPU);
}

std::string MhzName(tint64 llKHz)
{
    std::string str = ShowFixed(llKHz, 3, 0);
    const size_t nDot = str.find('.');
    return nDot == std::string::npos ? str : str.replace(nDot, 1, "_");
}

SCase Measured(ECase eCase, const std::string& strOf, const std::string& strFigure, const std::string& strRest)
{
    const std::string strUnits = CaseKind(eCase).pszUnits;
    return SCase{CaseName(eCase, strOf), EResult::Pass, strFigure + " " + strUnits + strRest, strFigure, strUnits};
}

SCase Verdict(ECase eCase, const std::string& strOf, bool bPass, const std::string& strDetails)
{
    return SCase{CaseName(eCase, strOf), bPass ? EResult::Pass : EResult::Fail, strDetails, "", ""};
}

SCase Skipped(ECase eCase, const std::string& strOf, const std::string& strDetails)
{
    return SCase{CaseName(eCase, strOf), EResult::Skip, strDetails, "", ""};
}

namespace
{

bool AllDigits(const std::string& str, const char* pszAlso = "")
{
    return !str.empty() && str.find_first_not_of(std::string("0123456789") + pszAlso) == std::string::npos;
}

// Whether strOf fills the placeholder pszOf: a sensor's name, "cpuK", or "cpuK-MHZ".
bool Fills(const char* pszOf, const std::string& strOf)
{
    const std::string strPattern = pszOf;
    if (strPattern.empty() || strOf.empty())
    {
        return strPattern.empty() && strOf.empty();
    }
    if (strPattern.compare(0, 6, "cpuCPU") != 0)
    {
        return true;
    }
    const size_t nDash = strOf.find('-');
    const bool bClock = strPattern == "cpuCPU-MHZ";
    return strOf.compare(0, 3, "cpu") == 0 && AllDigits(strOf.substr(3, nDash == std::string::npos ? nDash : nDash - 3)) &&
           (bClock ? nDash != std::string::npos && AllDigits(strOf.substr(nDash + 1), "_") : nDash == std::string::npos);
}

} // namespace

const SCaseKind* FindCaseKind(const std::string& strName)
{
    const SCaseKind* pFound = nullptr;
    for (const SCaseKind& kind : kCaseKinds)
    {
        const std::string strPrefix = kind.pszPrefix;
        if (strName.compare(0, strPrefix.size(), strPrefix) == 0 && Fills(kind.pszOf, strName.substr(strPrefix.size())) &&
            (pFound == nullptr || strPrefix.size() > std::string(pFound->pszPrefix).size()))
        {
            pFound = &kind;
        }
    }
    return pFound;
}

std::string CaseTable()
{
    std::string str;
    for (const SCaseKind& kind : kCaseKinds)
    {
        str += std::string(kind.pszPrefix) + kind.pszOf + "\t" + (*kind.pszUnits != '\0' ? kind.pszUnits : "-") + "\t" + kind.pszMeaning + "\n";
    }
    return str;
}
