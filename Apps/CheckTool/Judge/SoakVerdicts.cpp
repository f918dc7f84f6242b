// SPDX-License-Identifier: MIT
// The verdicts: each case, its figure and what it says, from the analysis and nothing else.
#include "SoakVerdicts.h"

#include "CaseCatalogue.h"
#include "LoadVerdicts.h"
#include "NumberText.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>

namespace
{

// The samples' row with a value of sensor iSensor, or nothing: "read at G of N samples".
std::string ReadAt(size_t nGot, size_t nSamples)
{
    return nGot < nSamples ? "; read at " + std::to_string(nGot) + " of " + std::to_string(nSamples) + " samples" : "";
}

// A limit holds only where every sample was read: a sensor that fails when hot must not pass.
std::string Unjudged(const std::string& strAt)
{
    return strAt.empty() ? "" : ": the samples not read cannot be judged";
}

std::string LimitText(const SLimit& lim, const char* pszUnits)
{
    return "; limit " + lim.strText + " " + pszUnits;
}

std::string Settled(const SZoneFit& z, const std::string& strBent)
{
    const double dLasted = z.dSpan / z.model.dTau;
    const std::string strPole = z.model.nPoles == 2 ? " of the slow pole" : "";
    if (!strBent.empty())
    {
        return "the rise lasted " + Printed(1, dLasted) + " τ" + strPole + " before " + strBent +
               (dLasted >= 3 ? ": it had settled" : ": T∞, where it would have settled, is a projection");
    }
    return dLasted >= 3 ? "the soak lasted " + Printed(1, dLasted) + " τ" + strPole + ": it settled"
                        : "the soak lasted " + Printed(1, dLasted) + " τ" + strPole + ", under 3: T∞ is a projection";
}

// Said where the baseline was busy enough to raise the idle figures a little; past half busy
// they are no idle figures at all.
std::string BusyRestNote(const SCheckParams& asked, const SSoakAnalysis& a)
{
    return a.dBaselineBusy > 0.1 ? "; the baseline was not quite at rest" + RestNote(asked, a) : "";
}

// The case with its figure's 95 % interval, at nDecimals, where the fit bounds it.
SCase WithInterval(SCase c, const SInterval& in, int nDecimals)
{
    if (in.bKnown && c.eResult != EResult::Skip)
    {
        // The figure as printed, rounded to fewer decimals, lies inside too.
        const double dShown = std::atof(c.strMeasurement.c_str());
        c.strLow = Printed(nDecimals, std::min(in.dLow, dShown));
        c.strHigh = Printed(nDecimals, std::max(in.dHigh, dShown));
    }
    return c;
}

SInterval Scaled(const SInterval& in, double dScale)
{
    return {in.bKnown, in.dLow * dScale, in.dHigh * dScale};
}

// Kelvin per watt of the load: the steady rise over what the load added at the meter.
SCase JudgeResistance(const SCheckParams& asked, const SSoakAnalysis& a, const SSensorAnalysis& s)
{
    const std::string& strName = s.sensor.strName;
    const SResistance& r = s.resistance;
    if (!r.bKnown)
    {
        return Skipped(ECase::ThermalResistance, strName, r.strWhy);
    }
    const SZoneFit& z = s.fit;
    const double dFrom = static_cast<double>(s.from.llValue) / 1000, dLoadW = static_cast<double>(r.llLoad - r.llIdle) / 1e6;
    const SInterval& t = z.intervals.steady;
    return WithInterval(Measured(ECase::ThermalResistance, strName, Printed(2, r.dKPerW),
                    ", (T∞ " + Printed(2, z.model.dSteady) + " C − idle " + ShowFixed(s.from.llValue, 3, 1) + " C) / (load " +
                        ShowFixed(r.llLoad, 6, 1) +
                        (r.bAtSteady ? " W at T∞, on a line through its later readings against the zone's: leakage grows as it heats"
                                     : " W, the median of its later half") +
                        ", − idle " + ShowFixed(r.llIdle, 6, 1) + " W) on " + r.strMeter +
                        (a.strBent.empty() ? "" : ", before " + a.strBent) + (z.dSpan >= 3 * z.model.dTau ? "" : "; T∞ is a projection") +
                        BusyRestNote(asked, a)),
                        {t.bKnown, (t.dLow - dFrom) / dLoadW, (t.dHigh - dFrom) / dLoadW}, 3);
}

// The meter's power at which the zone would settle at its target: the power allocator's
// sustainable-power, in mW, and the gains the kernel would derive from it.
SCase JudgeSustainable(const SSensorAnalysis& s)
{
    const std::string& strName = s.sensor.strName;
    const SSustain& p = s.sustain;
    if (!p.bKnown)
    {
        return Skipped(ECase::SustainablePower, strName, p.strWhy);
    }
    const double dSpan = static_cast<double>(p.llControl - p.llSwitchOn) / 1000;
    const std::string strGains = p.llSwitchOn == kMissing || p.llControl <= p.llSwitchOn
                                     ? "; no passive trip point to derive the kernel's gains over"
                                     : "; k_po " + Printed(1, p.dMilliwatts / dSpan) + " and k_pu " + Printed(1, 2 * p.dMilliwatts / dSpan) +
                                           " mW/C, as the power allocator derives them over its passive trip points, " +
                                           ShowFixed(p.llSwitchOn, 3, 1) + " to " + ShowFixed(p.llControl, 3, 1) + " C";
    const std::string strProjection = ShowFixed(p.llTarget, 3, 1) + " C (" + p.strTarget + "): idle " + ShowFixed(s.resistance.llIdle, 6, 1) +
                                      " W at " + ShowFixed(s.from.llValue, 3, 1) + " C, and " + Printed(2, s.resistance.dKPerW) + " K/W above it";
    if (!p.hold.bHeld)
    {
        // The projection falls as the resistance rises: T∞'s high end gives its low one.
        const SInterval& t = s.fit.intervals.steady;
        const double dFrom = static_cast<double>(s.from.llValue) / 1000, dKPerWAtT = s.resistance.dKPerW / (s.fit.model.dSteady - dFrom);
        const auto projected = [&](double dSteady) {
            return p.dMilliwatts - static_cast<double>(p.llTarget - s.from.llValue) / s.resistance.dKPerW +
                   static_cast<double>(p.llTarget - s.from.llValue) / (dKPerWAtT * (dSteady - dFrom));
        };
        const bool bBounded = t.bKnown && t.dLow > dFrom && s.fit.model.dSteady > dFrom;
        return WithInterval(Measured(ECase::SustainablePower, strName, Printed(0, p.dMilliwatts),
                                     ", a projection: what " + s.resistance.strMeter + " would read with the zone settled at " + strProjection +
                                         "; not measured: " + p.hold.strWhy + strGains),
                            {bBounded, bBounded ? projected(t.dHigh) : 0, bBounded ? projected(t.dLow) : 0}, 0);
    }
    const STripHold& h = p.hold;
    std::string strCompared = "; no projection beside it: " + p.strWhy;
    if (p.bProjected)
    {
        // A fan that comes on, or a cooling path that is not linear, sheds more (or less) at
        // the trip than the rise at lower temperatures let the projection expect.
        const double dOff = 100 * (p.dProjectedMw - p.dMilliwatts) / p.dMilliwatts;
        strCompared = "; the projection from the thermal resistance, " + Printed(0, p.dProjectedMw) + " mW, is " +
                      Printed(1, std::fabs(dOff)) + " % " + (dOff >= 0 ? "above" : "below") +
                      (std::fabs(dOff) > 10 ? ", more than 10 %: a fan, or a cooling path that is not linear" : "");
    }
    return Measured(ECase::SustainablePower, strName, Printed(0, p.dMilliwatts),
                    ", measured: the zone held at its passive trip point, " + ShowFixed(h.llTrip, 3, 1) + " C, for " + ShowSeconds(static_cast<double>(h.usHeld)) +
                        " s (" + ShowFixed(h.llLow, 3, 1) + " to " + ShowFixed(h.llHigh, 3, 1) + " C, " + ShowFixed(h.llMean, 3, 1) + " C on the mean of its later half), and " +
                        h.strMeter + " read " + Printed(3, h.dMeanW) +
                        " W ± " + Printed(3, h.dSpreadW) + " over its later half (" + std::to_string(h.nMeasured) + " readings)" + strCompared +
                        strGains);
}

// How T∞'s interval was found, or why it has none.
std::string SteadyInterval(const SZoneFit& z)
{
    const SFitIntervals& f = z.intervals;
    if (!f.steady.bKnown)
    {
        return "no 95 % interval: the readings allow a slower pole without bound; soak longer";
    }
    return "95 % interval " + Printed(2, f.steady.dLow) + " to " + Printed(2, f.steady.dHigh) + " C, from the profile of " +
           (f.nModels == 2 ? "one- and two-pole fits" : z.model.nPoles == 2 ? "a two-pole fit" : "a one-pole fit") + " (noise " + Printed(3, f.dNoise) + " C" +
           (f.dInflate > 1.05 ? ", its run from sample to sample widening it " + Printed(1, std::sqrt(f.dInflate)) + "×" : "") + ")" +
           (z.dStep >= 0.01 ? ", widened for its sensor's step of " + Printed(2, z.dStep) + " C (one that truncates reads up to a step low)" : "") +
           (f.steadyAnyPole.bKnown ? "; " + Printed(2, f.steadyAnyPole.dLow) + " to " + Printed(2, f.steadyAnyPole.dHigh) +
                                         " C allowing a slower pole up to 3 times the soak"
                                   : "");
}

// A zone's thermal model: its slow time constant, its fast one where there are two, and T∞
// with how far it can be trusted.
void JudgeModel(const SCheckParams& asked, const SSoakAnalysis& a, const std::string& strName, const SZoneFit& z, std::vector<SCase>& vCases)
{
    if (!z.bFitted)
    {
        vCases.push_back(Skipped(ECase::TempTau, strName, z.strWhy));
        vCases.push_back(Skipped(ECase::TempTauFast, strName, z.strWhy));
        vCases.push_back(Skipped(ECase::TempSteady, strName, z.strWhy));
        return;
    }
    const SModel& m = z.model;
    const std::string strFit = std::string(m.nPoles == 2 ? "the slow pole of a two-pole fit" : "a first-order fit") + " to " +
                               std::to_string(z.nPoints) + " samples (RMS residual " + Printed(3, z.dRms) + " C, R² " + Printed(4, z.dR2) + ")";
    vCases.push_back(WithInterval(Measured(ECase::TempTau, strName, ShowSeconds(m.dTau), ", " + strFit + "; " + Settled(z, a.strBent)),
                                  Scaled(z.intervals.tau, 1e-6), 3));
    const double dShare = m.dFast / (m.dFast + m.dSlow);
    if (m.nPoles == 2 && z.bFastTold)
    {
        vCases.push_back(WithInterval(Measured(ECase::TempTauFast, strName, ShowSeconds(m.dTauFast),
                                               ", the fast pole, " + Printed(0, 100 * dShare) + " % of the rise (" + Printed(2, m.dFast) + " C); " + z.strPoles),
                                      Scaled(z.intervals.tauFast, 1e-6), 3));
    }
    else if (m.nPoles == 2)
    {
        vCases.push_back(Skipped(ECase::TempTauFast, strName, "a fast pole of " + Printed(2, m.dFast) + " C rose within a sample: shorter than INTERVAL (" +
                                                                 ShowSeconds(static_cast<double>(asked.usInterval)) + " s) can tell; " + z.strPoles));
    }
    else
    {
        vCases.push_back(Skipped(ECase::TempTauFast, strName, z.strPoles));
    }
    vCases.push_back(WithInterval(Measured(ECase::TempSteady, strName, Printed(2, m.dSteady),
                                           ", where the fit has it settle" + std::string(a.strBent.empty() ? "" : " had nothing bent it") + ", " +
                                               SteadyInterval(z) + ", from " + Printed(2, m.Start()) + " C at the start; " + Settled(z, a.strBent)),
                                  z.intervals.steady, 3));
}

void JudgeZone(const SCheckParams& asked, const SSoakAnalysis& a, const SSensorAnalysis& s, std::vector<SCase>& vCases)
{
    const SSensor& sensor = s.sensor;
    const SLimit& limMaxTemp = asked.limits.limMaxTemp;
    const std::string strHigh = ShowFixed(s.soak.llHigh, 3, 1);
    const std::string strAt = ReadAt(s.soak.nGot, a.rowsSoak.Count());
    if (s.bImplausible)
    {
        // No figure a report or a dashboard would take for a temperature.
        const std::string strWhy = "its readings cannot be judged: " + s.strImplausible + "; they ran from " +
                                   std::to_string(std::min(s.soak.llLow, s.base.nGot > 0 ? s.base.llLow : s.soak.llLow)) + " to " +
                                   std::to_string(std::max(s.soak.llHigh, s.base.nGot > 0 ? s.base.llHigh : s.soak.llHigh));
        vCases.push_back(Skipped(ECase::TempMax, sensor.strName, strWhy));
        vCases.push_back(Skipped(ECase::TempRise, sensor.strName, strWhy));
    }
    else
    {
        vCases.push_back(Measured(ECase::TempMax, sensor.strName, strHigh, ", the highest of the soak" + strAt));
        vCases.push_back(Measured(ECase::TempRise, sensor.strName, ShowFixed(s.soak.llHigh - s.from.llValue, 3, 1),
                                  s.from.bBaseline ? " above its baseline mean of " + ShowFixed(s.from.llValue, 3, 1) + " C"
                                  : s.from.strRestless.empty() ? " above its first reading"
                                                               : " above its first reading in the soak, the zone not at rest in the baseline: " + s.from.strRestless));
    }
    const SZoneFit& z = s.fit;
    JudgeModel(asked, a, sensor.strName, z, vCases);
    vCases.push_back(JudgeResistance(asked, a, s));
    vCases.push_back(JudgeSustainable(s));
    if (limMaxTemp.bSet)
    {
        // The verdict apart from the figure: a dashboard that keeps a measured case as a
        // metric alone still shows this one's pass or fail.
        vCases.push_back(Verdict(ECase::LimitTemp, sensor.strName, s.soak.llHigh <= limMaxTemp.llValue && strAt.empty() && !s.bImplausible,
                                 strHigh + " C, the highest of the soak" + strAt + LimitText(limMaxTemp, "C") + Unjudged(strAt) +
                                     (s.bImplausible ? ": the reading cannot be judged, " + s.strImplausible : "")));
    }
}

void JudgeMeter(const SCheckParams& asked, const SSoakAnalysis& a, const SSensorAnalysis& m, std::vector<SCase>& vCases)
{
    const SSensor& sensor = m.sensor;
    const SSeries& s = m.soak;
    const SSeries& idle = m.base;
    const SLimit& limMaxPower = asked.limits.limMaxPower;
    const std::string strHigh = ShowFixed(s.llHigh, 6, 1);
    const std::string strAt = ReadAt(s.nGot, a.rowsSoak.Count());
    vCases.push_back(Measured(ECase::PowerMean, sensor.strName, ShowFixed(s.Mean(), 6, 1),
                              ", the mean of " + std::to_string(s.nGot) + " samples"));
    vCases.push_back(Measured(ECase::PowerMax, sensor.strName, strHigh, ", the highest of the soak" + strAt));
    if (a.rowsBase.Count() > 0 && idle.nGot == 0)
    {
        vCases.push_back(Skipped(ECase::PowerIdle, sensor.strName, sensor.strPath + " could not be read in the baseline"));
        vCases.push_back(Skipped(ECase::PowerLoad, sensor.strName, sensor.strPath + " could not be read in the baseline"));
    }
    else if (a.rowsBase.Count() > 0)
    {
        vCases.push_back(Measured(ECase::PowerIdle, sensor.strName, ShowFixed(idle.Mean(), 6, 1),
                                  ", the mean of " + std::to_string(idle.nGot) + " samples before the load" + RestNote(asked, a)));
        vCases.push_back(Measured(ECase::PowerLoad, sensor.strName, ShowFixed(s.Mean() - idle.Mean(), 6, 1),
                                  ", what the load added: the soak's mean less the idle mean"));
    }
    if (limMaxPower.bSet)
    {
        vCases.push_back(Verdict(ECase::LimitPower, sensor.strName, s.llHigh <= limMaxPower.llValue && strAt.empty(),
                                 strHigh + " W, the highest of the soak" + strAt + LimitText(limMaxPower, "W") + Unjudged(strAt)));
    }
}

// A counter over the soak (energy in µJ, a cooling device's time in µs): its growth, or a
// skip when it was read fewer than twice or went back.
SCase JudgeCounter(const SSoakAnalysis& a, const SSensorAnalysis& c)
{
    const SSensor& sensor = c.sensor;
    const bool bCooling = sensor.eKind == ESensorKind::Cooling;
    const ECase eCase = bCooling ? ECase::Cooling : ECase::Energy;
    // The counter's own values where it went back: µJ, or the device's ms.
    const auto raw = [&](tint64 ll) { return bCooling ? ShowFixed(ll, 3, 0) : std::to_string(ll); };
    const SSeries& s = c.soak;
    const size_t nRows = a.rowsSoak.Count();
    if (s.nGot < 2)
    {
        return Skipped(eCase, sensor.strName, sensor.strPath + " could not be read at two of " + std::to_string(nRows) + " samples");
    }
    if (s.iBack != 0)
    {
        // A wrap or a reset: what it counted before it is lost.
        return Skipped(eCase, sensor.strName, "the counter went back " + Seconds(s.usBack) + " into the soak, from " + raw(s.llBackFrom) + " to " +
                                    raw(s.llBackTo) + (bCooling ? " ms" : " uJ"));
    }
    return Measured(eCase, sensor.strName, ShowFixed(s.llLast - s.llFirst, 6, 1),
                    std::string(bCooling ? " above state 0, of " : " over ") + Seconds(a.usSoak) + ReadAt(s.nGot, nRows));
}

// A sensor never read in the soak: a skip, and a failed limit where it answered at rest, as
// a sensor failing hot does.
void JudgeUnread(const SCheckParams& asked, const SSoakAnalysis& a, const SSensorAnalysis& u, std::vector<SCase>& vCases)
{
    const SSensor& sensor = u.sensor;
    const bool bTemp = sensor.eKind == ESensorKind::Temp;
    const std::string strWhy = sensor.strPath + " could not be read at any of " + std::to_string(a.rowsSoak.Count()) + " samples";
    vCases.push_back(Skipped(bTemp ? ECase::TempMax : ECase::PowerMax, sensor.strName, strWhy));
    const SLimit& lim = bTemp ? asked.limits.limMaxTemp : asked.limits.limMaxPower;
    if (lim.bSet && u.base.nGot > 0)
    {
        vCases.push_back(Verdict(bTemp ? ECase::LimitTemp : ECase::LimitPower, sensor.strName, false,
                                 strWhy + " of the soak, though it was read in the baseline" + LimitText(lim, bTemp ? "C" : "W") +
                                     Unjudged(strWhy)));
    }
}


// The lowest clock of the soak once the clock had reached its ceiling (a governor's ramp up
// to it is no cap): time_in_state sees a clock that no sample caught, so the lower of the two;
// and its limit.
void JudgeClock(const SCheckParams& asked, const SSoakAnalysis& a, std::vector<SCase>& vCases)
{
    const std::string strCPU = std::to_string(asked.nCPU);
    const std::string strOf = CpuOf(asked.nCPU);
    const SLimit& limMinFreq = asked.limits.limMinFreq;
    const SThrottle& th = a.throttle;
    const tint64 llSampled = th.llSampledLowKHz >= 0 ? th.llSampledLowKHz : a.clock.llLow;
    if (a.clock.nGot == 0 && th.llLowKHz < 0)
    {
        const std::string strWhy = "devices/system/cpu/cpu" + strCPU + "/cpufreq/scaling_cur_freq " +
                                   (a.strCurFreqWhy == "absent" ? "is absent" : "cannot be read");
        vCases.push_back(Skipped(ECase::FreqMin, strOf, strWhy));
        if (limMinFreq.bSet)
        {
            vCases.push_back(Verdict(ECase::LimitFreq, strOf, false, "MIN_FREQ=" + limMinFreq.strText + " asked, but " + strWhy));
        }
        return;
    }
    const bool bStates = th.bLowStates && th.llLowKHz >= 0 && (a.clock.nGot == 0 || th.llLowKHz < llSampled);
    const tint64 llLow = bStates ? th.llLowKHz : llSampled;
    const std::string strLow = ShowFixed(llLow, 3, 0);
    const std::string strAt = bStates ? " (cpufreq's time_in_state)" : ReadAt(a.clock.nGot, a.rowsSoak.Count());
    const std::string strRamp = th.llRampKHz < 0 ? "" : " once it had reached " + ShowMHz(th.llCeilingKHz) + " (its ramp from " +
                                                            ShowFixed(th.llRampKHz, 3, 0) + " MHz, the governor's, left out)";
    vCases.push_back(Measured(ECase::FreqMin, strOf, strLow, ", the lowest of the soak" + strRamp + strAt));
    if (limMinFreq.bSet)
    {
        const bool bWhole = bStates || strAt.empty();
        vCases.push_back(Verdict(ECase::LimitFreq, strOf, llLow >= limMinFreq.llValue && bWhole,
                                 strLow + " MHz, the lowest of the soak" + strRamp + strAt + LimitText(limMinFreq, "MHz") +
                                     (bWhole ? "" : Unjudged(strAt))));
    }
}

std::string RampNote(const SThrottle& th)
{
    return th.llRampKHz < 0 ? "" : " once it had reached it, " + Printed(2, th.dCeilingAt / 1e6) + " s in (its governor's ramp from " +
                                       ShowFixed(th.llRampKHz, 3, 0) + " MHz is no throttling)";
}

void JudgeThrottle(const SCheckParams& asked, const SSoakAnalysis& a, std::vector<SCase>& vCases)
{
    const std::string strCPU = std::to_string(asked.nCPU);
    const std::string strOf = CpuOf(asked.nCPU);
    const SThrottle& th = a.throttle;
    if (!th.bKnown)
    {
        vCases.push_back(Skipped(ECase::ThrottleOnset, strOf, th.strWhy));
        vCases.push_back(Skipped(ECase::ThrottleTime, strOf, th.strWhy));
        return;
    }
    const std::string strTop = ShowMHz(th.llCeilingKHz);
    if (th.bThrottled)
    {
        vCases.push_back(Measured(ECase::ThrottleOnset, strOf, Printed(2, th.dOnset / 1e6),
                                  " into the soak, when CPU " + strCPU + " was first capped below " + strTop + ", the highest it reached under the load" +
                                      th.strOnsetHow + th.strSource));
    }
    else
    {
        // No figure a dashboard could plot, but the farm report's "never": later than every onset.
        SCase never = Measured(ECase::ThrottleOnset, strOf, "never", "");
        never.strDetails = "never, CPU " + strCPU + " ran at " + strTop + " all through the soak" + RampNote(th) + th.strSource;
        vCases.push_back(never);
    }
    vCases.push_back(Measured(ECase::ThrottleTime, strOf, Printed(2, th.dBelow / 1e6),
                              " below " + strTop + ", the highest it reached under the load, of " +
                                  Printed(2, static_cast<double>(a.usSoak) / 1e6) + " s" + RampNote(th) + th.strSource));
}

} // namespace

std::vector<SCase> JudgePolicyClock(const SCheckParams& asked, const SSoakAnalysis& analysis, const std::string& strShared)
{
    std::vector<SCase> vCases;
    JudgeClock(asked, analysis, vCases);
    JudgeThrottle(asked, analysis, vCases);
    for (SCase& c : vCases)
    {
        c.strDetails += strShared;
        c = analysis.bCut && c.eResult != EResult::Fail ? SCase{c.strName, EResult::Skip, "not judged: the load failed, " + analysis.strEnded, "", ""} : c;
    }
    return vCases;
}

std::vector<SCase> JudgeSoak(const SCheckParams& asked, const SSoakAnalysis& analysis)
{
    std::vector<SCase> vCases = JudgeBusy(asked, analysis);
    bool abSeen[4] = {false, false, false, false};
    bool abMeasured[4] = {false, false, false, false};
    for (const SSensorAnalysis& s : analysis.vSensors)
    {
        const ESensorKind eKind = s.sensor.eKind;
        abSeen[static_cast<int>(eKind)] = true;
        if (eKind == ESensorKind::Energy || eKind == ESensorKind::Cooling)
        {
            vCases.push_back(JudgeCounter(analysis, s));
        }
        else if (s.soak.nGot == 0)
        {
            JudgeUnread(asked, analysis, s, vCases);
        }
        else if (eKind == ESensorKind::Temp)
        {
            abMeasured[static_cast<int>(eKind)] = true;
            JudgeZone(asked, analysis, s, vCases);
        }
        else
        {
            abMeasured[static_cast<int>(eKind)] = true;
            JudgeMeter(asked, analysis, s, vCases);
        }
    }
    // A kind with nothing measured: one case saying so, and a failed limit if one was asked.
    const struct
    {
        ESensorKind eKind;
        ECase eNone;
        ECase eLimit;
        const char* pszParam;
        const SLimit& lim;
        const char* pszNone;
        const char* pszUnread;
    } aKinds[] = {
        {ESensorKind::Temp, ECase::NoZone, ECase::NoZoneLimit, "MAX_TEMP", asked.limits.limMaxTemp, "no thermal zone under class/thermal",
         "no thermal zone could be read"},
        {ESensorKind::Power, ECase::NoMeter, ECase::NoMeterLimit, "MAX_POWER", asked.limits.limMaxPower, "no power meter under class/hwmon",
         "no power meter could be read"},
    };
    for (const auto& kind : aKinds)
    {
        const int nKind = static_cast<int>(kind.eKind);
        if (abMeasured[nKind])
        {
            continue;
        }
        const std::string strWhy = abSeen[nKind] ? kind.pszUnread : kind.pszNone;
        vCases.push_back(Skipped(kind.eNone, "", strWhy));
        if (kind.lim.bSet)
        {
            vCases.push_back(Verdict(kind.eLimit, "", false, std::string(kind.pszParam) + "=" + kind.lim.strText + " asked, but " + strWhy));
        }
    }
    JudgeClock(asked, analysis, vCases);
    JudgeThrottle(asked, analysis, vCases);
    JudgeCycles(asked, analysis, vCases);
    // A soak whose load failed measured no board under load: what it read is not passed as
    // a figure, though a limit it broke meanwhile still fails.
    for (SCase& c : vCases)
    {
        const bool bBusy = c.strName.compare(0, 8, "cpu-busy") == 0;
        if (analysis.bCut && !bBusy && c.eResult != EResult::Fail)
        {
            c = SCase{c.strName, EResult::Skip, "not judged: the load failed, " + analysis.strEnded, "", ""};
        }
    }
    return vCases;
}
