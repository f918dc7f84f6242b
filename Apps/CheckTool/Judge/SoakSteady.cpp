// SPDX-License-Identifier: MIT
// Whether a growing soak's board is steady, look after look: UNTIL_STEADY's end.
#include "SoakSteady.h"

#include <algorithm>
#include <cmath>

#include "NumberText.h"
#include "SoakParams.h"

const SSteadyRule kSteadyRules[] = {
    {"check", "the check's own (every fitted zone's T∞ known within STEADY_TOL, a slower pole allowed)", 0, 0},
    {"iec62368", "IEC 62368-1's (at most 3 K in 30 min)", 1800000000, 3000},
    {"iec60034", "IEC 60034-1's and IEC 62135-1's (under 2 K an hour)", 3600000000, 2000},
    {"iec60598", "IEC 60598's (1 K an hour)", 3600000000, 1000},
    {"iec61810", "IEC 61810-7's (under 1 K over three readings 5 min apart)", 600000000, 1000},
};
const size_t kSteadyRuleCount = sizeof(kSteadyRules) / sizeof(kSteadyRules[0]);

namespace
{

// A board's own slow pole lasts a minute or more, and early in a soak it rises too little to be
// told from its die's: none is steady before three of them.
const tint64 kSteadyFloor = 180000000;  // µs

// Zone k's readings (µs, C) over rows from usFrom on.
void Readings(const SSoakTrace& trace, size_t k, SRows rows, double usFrom, std::vector<double>* pvdT, std::vector<double>* pvdY)
{
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        const tint64 ll = trace.Value(i, k);
        if (ll != kMissing && static_cast<double>(trace.vllTimeUs[i]) >= usFrom)
        {
            pvdT->push_back(static_cast<double>(trace.vllTimeUs[i]));
            pvdY->push_back(static_cast<double>(ll) / 1000);
        }
    }
}

// Whether every zone's rise over the rule's last window, on a line through its readings, is
// within the rule: the soak must have lasted the window.
bool MeetsRate(const SSteadyRule& rule, const SSoakTrace& trace, const SSoakAnalysis& a)
{
    const double usEnd = static_cast<double>(trace.vllTimeUs[a.rowsSoak.iEnd - 1]);
    if (a.usSoak < rule.usWindow)
    {
        return false;
    }
    for (size_t k = 0; k < a.vSensors.size(); ++k)
    {
        if (a.vSensors[k].sensor.eKind != ESensorKind::Temp || a.vSensors[k].soak.nGot == 0)
        {
            continue;
        }
        std::vector<double> vdT, vdY;
        Readings(trace, k, a.rowsSoak, usEnd - static_cast<double>(rule.usWindow), &vdT, &vdY);
        const SSlope slope = SlopeFrom(vdT, vdY, 0);
        // The rules speak of a rise; a strict one ("under") takes no rise at its bound.
        if (!slope.bKnown || slope.dSlope * static_cast<double>(rule.usWindow) * 1000 >= static_cast<double>(rule.llRise))
        {
            return false;
        }
    }
    return true;
}

// How far a still zone may yet move, C: at its pace (a line through its readings, with two
// standard errors, and a step a quantised sensor hides over them) over the soak's length.
double Drift(const SSlope& slope, double usOver, double dStep, double usSoak)
{
    return slope.bKnown ? (std::fabs(slope.dSlope) + 2 * slope.dError + dStep / std::max(usOver, 1e6)) * usSoak : HUGE_VAL;
}

// A zone a bend stopped, still since: over the later half of the time since the bend (a throttled
// board settles anew, lower) held within dTol for as long as the zone took to reach the bend,
// at least ten readings, and drifting by less than half of dTol over the soak's length.
bool HeldSinceBend(const SSoakTrace& trace, const SSoakAnalysis& a, size_t k, double dTol, std::string* pstr)
{
    std::vector<double> vdT, vdY;
    Readings(trace, k, a.rowsSoak, (a.dBend + static_cast<double>(trace.vllTimeUs[a.rowsSoak.iEnd - 1])) / 2, &vdT, &vdY);
    if (vdT.size() < 10 || vdT.back() - vdT.front() < a.dBend)
    {
        return false;
    }
    const auto mm = std::minmax_element(vdY.begin(), vdY.end());
    // A fitted zone's step is its sensor's where it read in steps; else the least between readings.
    const SSensorAnalysis& s = a.vSensors[k];
    const double dStep = s.fit.bFitted ? s.fit.dStep : s.dStep;
    const double dDrift = Drift(SlopeFrom(vdT, vdY, 0), vdT.back() - vdT.front(), dStep, static_cast<double>(a.usSoak));
    *pstr = s.sensor.strName + " held within " + Printed(2, *mm.second - *mm.first) + " C for " +
            ShowSeconds(vdT.back() - vdT.front()) + " s, the later half since " + a.strBent + ", drifting at most " + Printed(2, dDrift) + " C over the soak";
    return *mm.second - *mm.first <= dTol && dDrift <= dTol / 2;
}

// Zone k at this look: steady or not, what shows it, and its slow pole's τ where it was fitted.
bool ZoneSteady(const SCheckParams& asked, const SSoakTrace& trace, const SSoakAnalysis& a, size_t k,
                std::vector<SSteadyWatch::SLook>* pvLooks, std::string* pstr, double* pdTaus)
{
    const SSensorAnalysis& s = a.vSensors[k];
    const double dTol = static_cast<double>(asked.llSteadyTol) / 1000;
    const SZoneFit& z = s.fit;
    pvLooks->push_back({a.usSoak, z.bFitted ? z.intervals.steady : SInterval()});
    if (std::isfinite(a.dBend) && HeldSinceBend(trace, a, k, dTol, pstr))
    {
        return true;
    }
    if (!z.bFitted)
    {
        // One that rose too little must be still too: a slow pole may yet lift it.
        const double dDrift = Drift(s.tail, s.dTailSpan / 3, s.dStep, s.dTailSpan);
        *pstr = s.sensor.strName + " rose too little to fit, drifting at most " + Printed(2, dDrift) + " C over the soak";
        return z.bFlat && dDrift <= dTol / 2;
    }
    // The look at two thirds of the soak: its interval must hold today's T∞.
    const SSteadyWatch::SLook* pEarlier = nullptr;
    for (const SSteadyWatch::SLook& look : *pvLooks)
    {
        pEarlier = look.usSoak * 3 <= a.usSoak * 2 ? &look : pEarlier;
    }
    const SInterval& now = z.intervals.steadyAnyPole;
    *pdTaus = std::max(*pdTaus, z.dSpan / z.model.dTau);
    // A slower pole the model does not hold shows as a drift of the last third past the
    // model's own: at its most (two standard errors, and a step a quantised sensor hides over
    // the third) it may not move the zone half of STEADY_TOL over the soak's length.
    SSlope beyond = s.tail;
    beyond.dSlope -= z.model.Slope(s.tail.dMidT);
    const double dBeyond = Drift(beyond, s.dTailSpan / 3, s.dStep, s.dTailSpan) / std::max(s.dTailSpan, 1.0);
    if (!s.tail.bKnown || dBeyond * s.dTailSpan > dTol / 2)
    {
        *pstr = s.sensor.strName + "'s last third may drift " + Printed(2, dBeyond * s.dTailSpan) + " C past its model";
        return false;
    }
    *pstr = s.sensor.strName + "'s T∞ " + Printed(2, z.model.dSteady) + " C known within " + Printed(2, now.Width()) + " C";
    return now.bKnown && now.Width() - 1.5 * z.dStep <= dTol && z.dSpan >= 2 * z.model.dTau && pEarlier != nullptr &&
           pEarlier->steady.Holds(z.model.dSteady);
}

} // namespace

bool SoakIsSteady(const SCheckParams& asked, const SSoakTrace& trace, const SSoakAnalysis& analysis, SSteadyWatch* pWatch,
                  std::string* pstrWhy)
{
    const SSteadyRule& rule = kSteadyRules[asked.iSteadyRule];
    pWatch->vvLooks.resize(analysis.vSensors.size());
    bool bSteady = analysis.usSoak >= kSteadyFloor && analysis.rowsSoak.Count() > 0;
    std::string strZones;
    double dTaus = 0;
    for (size_t k = 0; k < analysis.vSensors.size(); ++k)
    {
        const SSensorAnalysis& s = analysis.vSensors[k];
        if (s.sensor.eKind != ESensorKind::Temp || s.soak.nGot == 0)
        {
            continue;
        }
        std::string str;
        // Every look goes through every zone, that each keeps its last interval.
        bSteady = ZoneSteady(asked, trace, analysis, k, &pWatch->vvLooks[k], &str, &dTaus) && bSteady;
        strZones += (strZones.empty() ? "" : ", ") + str;
    }
    if (!bSteady || strZones.empty() || (rule.usWindow > 0 && !MeetsRate(rule, trace, analysis)))
    {
        return false;
    }
    std::string strAlso;
    for (size_t i = 1; i < kSteadyRuleCount; ++i)
    {
        strAlso += i != static_cast<size_t>(asked.iSteadyRule) && MeetsRate(kSteadyRules[i], trace, analysis)
                       ? (strAlso.empty() ? "" : ", ") + std::string(kSteadyRules[i].pszText)
                       : "";
    }
    *pstrWhy = std::string("by ") + rule.pszText + " rule, " + strZones +
               (dTaus > 0 ? ", after " + Printed(1, dTaus) + " τ of its slow pole" : "") +
               "; of the standards' rules the soak as run also met " + (strAlso.empty() ? "none" : strAlso);
    return true;
}
