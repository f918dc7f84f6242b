// SPDX-License-Identifier: MIT
// The soak's analysis, computed once: series, fits, the throttle, the bend and the meter's load.
#include "SoakAnalysis.h"

#include "NumberText.h"
#include "ZonePlausible.h"

#include <algorithm>
#include <cmath>

namespace
{

// Rows cut where the rise was bent: those before dBend (µs).
SRows Before(const SSoakTrace& trace, SRows rows, double dBend)
{
    while (rows.iEnd > rows.iFirst && static_cast<double>(trace.vllTimeUs[rows.iEnd - 1]) >= dBend)
    {
        --rows.iEnd;
    }
    return rows;
}

// The rows a zone's model is fitted to: from when a governor's ramp brought the clock to its
// ceiling (before it the power rose too, and no step describes that; after it the rise is a
// step's again, its amplitude changed) to where anything bent the rise.
SRows FitRows(const SSoakTrace& trace, SRows rows, const SSoakAnalysis& a)
{
    rows = Before(trace, rows, a.dBend);
    while (a.throttle.bKnown && a.throttle.llRampKHz >= 0 && rows.iFirst < rows.iEnd &&
           static_cast<double>(trace.vllTimeUs[rows.iFirst]) < a.throttle.dCeilingAt)
    {
        ++rows.iFirst;
    }
    return rows;
}

// How zone k moved over the baseline, where it was no rest (a board still cooling from an
// earlier load, or heated by another): a line through its readings moved more than four
// standard errors of their noise about it (a trend is no noise), widened as a t test's are
// for few readings, at a pace that would move it 0.5 C in a minute (or over the baseline,
// were it longer). A quantised sensor at rest may cross one step, which a line through it
// takes for up to one and a half; its steps' own scatter, a twelfth of a step squared, is
// no noise either. "" where it was still, or too few readings tell.
std::string Restless(const SSoakTrace& trace, size_t k, SRows rows)
{
    std::vector<double> vdT, vdY;
    std::vector<tint64> vllSeen;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        if (trace.Value(i, k) != kMissing)
        {
            vdT.push_back(static_cast<double>(trace.vllTimeUs[i]));
            vdY.push_back(static_cast<double>(trace.Value(i, k)) / 1000);
            vllSeen.push_back(trace.Value(i, k));
        }
    }
    const SSlope line = vdT.size() >= 5 ? SlopeFrom(vdT, vdY, vdT.front()) : SSlope();
    if (!line.bKnown)
    {
        return "";
    }
    double dMeanT = 0, dTT = 0;
    for (const double t : vdT)
    {
        dMeanT += t / static_cast<double>(vdT.size());
    }
    for (const double t : vdT)
    {
        dTT += (t - dMeanT) * (t - dMeanT);
    }
    const tint64 llStep = SmallestStep(vllSeen);
    const double dStep = static_cast<double>(llStep) / 1000;
    const double dNoiseVar = std::max(0.0, line.dError * line.dError * dTT - dStep * dStep / 12);
    const double dSpan = vdT.back() - vdT.front();
    const double dMoved = line.dSlope * dSpan;
    const double dBound = std::max({0.5 * dSpan / std::max(dSpan, kStillHorizon), 1.6 * dStep,
                                    (4 + 10 / static_cast<double>(vdT.size() - 2)) * std::sqrt(dNoiseVar / dTT) * dSpan});
    if (std::fabs(dMoved) <= dBound)
    {
        return "";
    }
    return std::string(dMoved < 0 ? "it fell " : "it rose ") + Printed(2, std::fabs(dMoved)) + " C over the baseline's " +
           ShowSeconds(dSpan) + " s (" + Printed(2, std::fabs(line.dSlope) * 60e6) + " C a minute, a line through its " +
           std::to_string(vdT.size()) + " readings from " + Printed(2, vdY.front()) + " to " + Printed(2, vdY.back()) + " C)";
}

// The least difference of means a meter resolves: the smallest step between its readings at
// rest (1 µW, its unit, where it read one value), and twice the difference's standard error,
// so that noise, or one odd reading, is never taken for what the load added.
tint64 Resolution(const SSoakTrace& trace, size_t k, const SSoakAnalysis& a)
{
    tint64 llStep = 0;
    long double aldMean[2] = {0, 0}, aldVar[2] = {0, 0};
    size_t anGot[2] = {0, 0};
    int nPhase = 0;
    for (const SRows rows : {a.rowsBase, a.rowsSoak})
    {
        std::vector<tint64> vll;
        for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
        {
            if (trace.Value(i, k) != kMissing)
            {
                vll.push_back(trace.Value(i, k));
                aldMean[nPhase] += static_cast<long double>(trace.Value(i, k));
            }
        }
        anGot[nPhase] = vll.size();
        aldMean[nPhase] /= vll.empty() ? 1 : static_cast<long double>(vll.size());
        for (const tint64 ll : vll)
        {
            aldVar[nPhase] += (static_cast<long double>(ll) - aldMean[nPhase]) * (static_cast<long double>(ll) - aldMean[nPhase]);
        }
        aldVar[nPhase] /= vll.size() > 1 ? static_cast<long double>(vll.size() - 1) : 1;
        llStep = nPhase == 0 ? SmallestStep(vll) : llStep;
        ++nPhase;
    }
    const long double ldError = anGot[0] > 0 && anGot[1] > 0
                                    ? std::sqrt(aldVar[0] / static_cast<long double>(anGot[0]) +
                                                aldVar[1] / static_cast<long double>(anGot[1]))
                                    : 0;
    return std::max<tint64>({1, llStep, static_cast<tint64>(std::ceil(2 * ldError))});
}

} // namespace

int ChooseMeter(const std::string& strPowerMeter, const std::vector<SSensor>& vSensors, std::string* pstrWhy)
{
    std::vector<int> vMeters;
    std::string strNames;
    for (size_t k = 0; k < vSensors.size(); ++k)
    {
        const SSensor& s = vSensors[k];
        if (s.eKind == ESensorKind::Power)
        {
            if (!strPowerMeter.empty() && s.strName == strPowerMeter)
            {
                return static_cast<int>(k);
            }
            vMeters.push_back(static_cast<int>(k));
            strNames += (strNames.empty() ? "" : ", ") + s.strName;
        }
    }
    if (!strPowerMeter.empty())
    {
        *pstrWhy = "POWER_METER=" + strPowerMeter + " names no power meter of this board, which has " +
                   (strNames.empty() ? std::string("none") : strNames);
    }
    else if (vMeters.empty())
    {
        *pstrWhy = "no power meter to divide by";
    }
    else if (vMeters.size() > 1)
    {
        *pstrWhy = "several power meters (" + strNames + "): POWER_METER names which";
    }
    else
    {
        return vMeters[0];
    }
    return -1;
}

namespace
{

SMeterLoad MeterLoad(const std::string& strPowerMeter, const std::vector<SSensor>& vSensors, const SSoakTrace& trace,
                     const SSoakAnalysis& a)
{
    SMeterLoad m;
    m.iMeter = ChooseMeter(strPowerMeter, vSensors, &m.strWhy);
    if (m.iMeter < 0)
    {
        return m;
    }
    const size_t k = static_cast<size_t>(m.iMeter);
    // The load's power where the fit's rise was: before anything bent it. The median of its
    // later half: a meter that averages lags the step, and a die's leakage grows as it heats,
    // so that the power the zone settles with is the last, not the first.
    const SRows rows = Before(trace, a.rowsSoak, a.dBend);
    m.load = Summarise(trace, k, false, rows);
    std::vector<tint64> vll;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        if (trace.Value(i, k) != kMissing)
        {
            vll.push_back(trace.Value(i, k));
        }
    }
    vll.erase(vll.begin(), vll.begin() + static_cast<std::ptrdiff_t>(vll.size() / 2));
    m.rowsLate = SRows{rows.iFirst + rows.Count() / 2, rows.iEnd};
    std::sort(vll.begin(), vll.end());
    m.llLoad = vll.empty() ? 0 : (vll[(vll.size() - 1) / 2] + vll[vll.size() / 2]) / 2;
    m.llResolution = Resolution(trace, k, a);
    return m;
}

} // namespace

std::string RestNote(const SCheckParams& asked, const SSoakAnalysis& a)
{
    return a.rowsBase.Count() < 2 ? "" : ", CPU " + std::to_string(asked.nCPU) + " " + Printed(1, 100 * a.dBaselineBusy) + " % busy in it";
}

// Whether the readings lie on the line rather than beside it in turns: their residuals, in time
// order, change sign as often as noise's do (a runs test, two standard deviations). A second
// load, or a fan, that starts part-way is a step the line would take for leakage.
static bool OnTheLine(const SSoakTrace& trace, const SMeterLoad& m, size_t kZone, double dMeanP, double dMeanT, double dSlope)
{
    double dRuns = 0, dN = 0;
    int nLast = 0;
    for (size_t i = m.rowsLate.iFirst; i < m.rowsLate.iEnd; ++i)
    {
        const tint64 llP = trace.Value(i, static_cast<size_t>(m.iMeter)), llT = trace.Value(i, kZone);
        const double dOff = static_cast<double>(llP) - dMeanP - dSlope * (static_cast<double>(llT) - dMeanT);
        const int nSign = llP == kMissing || llT == kMissing || dOff == 0 ? 0 : dOff > 0 ? 1 : -1;
        dRuns += nSign != 0 && nSign != nLast ? 1 : 0;
        dN += nSign != 0 ? 1 : 0;
        nLast = nSign != 0 ? nSign : nLast;
    }
    return dN < 3 || dRuns >= (dN + 1) / 2 - std::sqrt(dN - 1);
}

// A die's leakage grows as it heats, so the zone settles with more power than it rose with: the
// meter's at T∞ (m°C), on a line through the later readings against the zone's, where the zone
// moved enough (0.5 C) to draw one, the power surely grew with it and the readings lie on it;
// else their median.
static tint64 LoadAtSteady(const SSoakTrace& trace, const SMeterLoad& m, size_t kZone, double dSteadyMc, bool* pbAtSteady)
{
    double dN = 0, dP = 0, dT = 0, dTT = 0, dTP = 0, dPP = 0;
    for (size_t i = m.rowsLate.iFirst; i < m.rowsLate.iEnd; ++i)
    {
        const tint64 llP = trace.Value(i, static_cast<size_t>(m.iMeter)), llT = trace.Value(i, kZone);
        if (llP != kMissing && llT != kMissing)
        {
            dN += 1;
            dP += static_cast<double>(llP);
            dT += static_cast<double>(llT);
            dTT += static_cast<double>(llT) * static_cast<double>(llT);
            dTP += static_cast<double>(llT) * static_cast<double>(llP);
            dPP += static_cast<double>(llP) * static_cast<double>(llP);
        }
    }
    const double dSxx = dN > 2 ? dTT - dT * dT / dN : 0;
    const double dSxy = dN > 2 ? dTP - dT * dP / dN : 0;
    const double dSlope = dSxx > 0 ? dSxy / dSxx : 0;
    // The slope surely above 0: twice its standard error.
    const double dSse = dSxx > 0 ? std::max(0.0, dPP - dP * dP / dN - dSxy * dSlope) : 0;
    *pbAtSteady = dSxx > dN * 250000 && dSlope > 2 * std::sqrt(dSse / (dN - 2) / dSxx) && OnTheLine(trace, m, kZone, dP / dN, dT / dN, dSlope);
    return *pbAtSteady ? std::llround(dP / dN + dSlope * (dSteadyMc - dT / dN)) : m.llLoad;
}

// The zone's thermal resistance on the meter, or why there is none.
static SResistance ResistanceOf(const SCheckParams& asked, const SSoakTrace& trace, const SSoakAnalysis& a, const SSensorAnalysis& s,
                                size_t kZone)
{
    SResistance r;
    const SZoneFit& z = s.fit;
    const SMeterLoad& m = a.meter;
    if (a.rowsBase.Count() == 0)
    {
        r.strWhy = "needs a BASELINE: the idle temperature and power";
    }
    else if (a.dBaselineBusy > 0.5)
    {
        r.strWhy = "the baseline was not at rest" + RestNote(asked, a) + ": its temperature and power are not the idle ones";
    }
    else if (m.iMeter < 0)
    {
        r.strWhy = m.strWhy;
    }
    else if (!z.bFitted)
    {
        r.strWhy = "no steady state: " + z.strWhy;
    }
    else if (!s.from.bBaseline)
    {
        r.strWhy = s.from.strRestless.empty() ? "the zone was not read in the baseline"
                                              : "the zone was not at rest in the baseline: " + s.from.strRestless + ", so its idle temperature is not known";
    }
    if (!r.strWhy.empty())
    {
        return r;
    }
    r.strMeter = a.vSensors[static_cast<size_t>(m.iMeter)].sensor.strName;
    const SSeries& idle = a.vSensors[static_cast<size_t>(m.iMeter)].base;
    r.llIdle = idle.nGot > 0 ? idle.Mean() : 0;
    r.llLoad = LoadAtSteady(trace, m, kZone, z.model.dSteady * 1000, &r.bAtSteady);
    if (idle.nGot == 0 || m.load.nGot == 0)
    {
        r.strWhy = r.strMeter + " was not read in the " + (idle.nGot == 0 ? "baseline" : "soak");
    }
    else if (r.llLoad - r.llIdle < m.llResolution)
    {
        r.strWhy = "the load added " + ShowFixed(r.llLoad - r.llIdle, 6, 1) + " W, less than " + r.strMeter + " resolves (" +
                   ShowFixed(m.llResolution, 6, 1) + " W)";
    }
    else
    {
        r.bKnown = true;
        r.dKPerW = (z.model.dSteady - static_cast<double>(s.from.llValue) / 1000) / (static_cast<double>(r.llLoad - r.llIdle) / 1e6);
    }
    return r;
}

// The meter's power at which the zone would settle at SUSTAIN_TEMP, else at its highest passive
// trip point: measured where the kernel held it at that trip, and projected from its idle
// power and what the soak's thermal resistance lets it add.
static SSustain SustainOf(const SLimit& limSustainTemp, const SSoakTrace& trace, const SSoakAnalysis& a, const SSensorAnalysis& s, size_t k)
{
    const SSensor& sensor = s.sensor;
    SSustain p;
    const std::vector<tint64>& vllTrips = sensor.vllPassiveTrips;
    if (limSustainTemp.bSet)
    {
        p.llTarget = limSustainTemp.llValue;
        p.strTarget = "SUSTAIN_TEMP";
    }
    else if (!vllTrips.empty())
    {
        p.llTarget = vllTrips.back();
        p.strTarget = "its highest passive trip point";
    }
    else
    {
        p.strWhy = "no SUSTAIN_TEMP, and no passive trip point under " + sensor.strPath.substr(0, sensor.strPath.rfind('/'));
        return p;
    }
    // The power allocator controls to its last passive trip point and switches on at the first.
    p.llControl = vllTrips.empty() ? kMissing : vllTrips.back();
    // With one passive trip point the kernel switches on from 0 C.
    p.llSwitchOn = vllTrips.size() >= 2 && vllTrips.front() < vllTrips.back() ? vllTrips.front() : vllTrips.empty() ? kMissing : 0;
    if (!s.resistance.bKnown)
    {
        p.strWhy = "no thermal resistance: " + s.resistance.strWhy;
    }
    else if (p.llTarget <= s.from.llValue)
    {
        p.strWhy = "the target, " + ShowFixed(p.llTarget, 3, 1) + " C, lies below the zone at rest, " + ShowFixed(s.from.llValue, 3, 1) + " C";
    }
    else
    {
        p.bProjected = true;
        p.dProjectedMw = (static_cast<double>(s.resistance.llIdle) / 1e6 +
                          static_cast<double>(p.llTarget - s.from.llValue) / 1000 / s.resistance.dKPerW) * 1000;
    }
    // Held at the target by the kernel, the board drew what it sheds there: a measurement.
    const bool bAtTrip = std::find(vllTrips.begin(), vllTrips.end(), p.llTarget) != vllTrips.end();
    p.hold.strWhy = !bAtTrip        ? "the target is no passive trip point the kernel would hold the zone at"
                    : a.meter.iMeter < 0 ? "no meter: " + a.meter.strWhy
                                         : "";
    if (bAtTrip && a.meter.iMeter >= 0)
    {
        p.hold = FindTripHold(trace, a.rowsSoak, k, static_cast<size_t>(a.meter.iMeter), p.llTarget, a.dBend);
        p.hold.strMeter = a.vSensors[static_cast<size_t>(a.meter.iMeter)].sensor.strName;
    }
    p.bKnown = p.hold.bHeld || p.bProjected;
    p.strWhy += p.bKnown || p.hold.strWhy.empty() ? "" : "; not measured: " + p.hold.strWhy;
    p.dMilliwatts = p.hold.bHeld ? p.hold.dMeanW * 1000 : p.dProjectedMw;
    return p;
}

// CPU K's busy time over the soak and the baseline's busy share, from /proc/stat's counts.
static void CountBusy(const SSoakTrace& trace, SSoakAnalysis& a)
{
    const SRows& soak = a.rowsSoak;
    const SRows& base = a.rowsBase;
    if (soak.Count() > 0 && trace.vllBusy[soak.iFirst] != kMissing && trace.vllBusy[soak.iEnd - 1] != kMissing)
    {
        a.bBusy = true;
        a.usBusy = trace.vllBusy[soak.iEnd - 1] - trace.vllBusy[soak.iFirst];
        a.usSpent = trace.vllTotal[soak.iEnd - 1] - trace.vllTotal[soak.iFirst];
    }
    if (base.Count() >= 2 && trace.vllBusy[base.iFirst] != kMissing && trace.vllBusy[base.iEnd - 1] != kMissing &&
        trace.vllTotal[base.iEnd - 1] > trace.vllTotal[base.iFirst])
    {
        a.dBaselineBusy = static_cast<double>(trace.vllBusy[base.iEnd - 1] - trace.vllBusy[base.iFirst]) /
                          static_cast<double>(trace.vllTotal[base.iEnd - 1] - trace.vllTotal[base.iFirst]);
    }
}

SSoakAnalysis AnalyseSoak(const SCheckParams& asked, const SBoard& board, const SSoakRun& run)
{
    const SSoakTrace& trace = run.trace;
    SSoakAnalysis a;
    a.rowsBase = SRows{0, std::min(trace.nBaseline, trace.nSamples)};
    a.rowsSoak = SRows{std::min(trace.nBaseline, trace.nSamples), trace.nSamples};
    const SRows& soak = a.rowsSoak;
    a.usSoak = soak.Count() > 0 ? trace.vllTimeUs[soak.iEnd - 1] - trace.vllTimeUs[soak.iFirst] : 0;
    a.usPlanned = run.usPlanned;
    a.strEnded = run.strEnded;
    a.bCut = run.bCut;
    a.cycles = run.cycles;
    a.tool = run.tool;
    // The tool's share of a CPU over the span its time was read in; the soak's where none was kept.
    a.tool.usSpan = run.tool.usSpan > 0 ? run.tool.usSpan : a.usSoak;
    a.dToolShare = a.tool.bRead && a.tool.usSpan > 0 ? static_cast<double>(a.tool.usTime) / static_cast<double>(a.tool.usSpan) : 0;
    a.strCurFreqWhy = board.strCurFreqWhy;
    CountBusy(trace, a);
    a.vLoads = run.vLoads;
    for (SCpuLoad& load : a.vLoads)
    {
        load.tool.usSpan = load.tool.usSpan > 0 ? load.tool.usSpan : a.usSoak;
    }
    a.clock = Summarise(trace, 0, true, soak);
    a.throttle = FindThrottle(board, trace, soak, a.clock);
    a.dBend = BendStart(board, trace, a.throttle, soak, &a.strBent);
    a.vSensors.resize(board.vSensors.size());
    const std::vector<std::string> vImplausible = ImplausibleZones(trace, board.vSensors);
    for (size_t k = 0; k < board.vSensors.size(); ++k)
    {
        SSensorAnalysis& s = a.vSensors[k];
        s.sensor = board.vSensors[k];
        s.soak = Summarise(trace, k, false, soak);
        s.base = Summarise(trace, k, false, a.rowsBase);
        const std::string strRestless = s.sensor.eKind == ESensorKind::Temp ? Restless(trace, k, a.rowsBase) : "";
        s.from = s.base.nGot > 0 && strRestless.empty() ? SFrom{true, s.base.Mean(), ""} : SFrom{false, s.soak.llFirst, strRestless};
        if (s.sensor.eKind != ESensorKind::Temp || s.soak.nGot == 0)
        {
            continue;
        }
        s.strImplausible = vImplausible[k];
        s.bImplausible = !s.strImplausible.empty();
        if (s.bImplausible)
        {
            s.fit.strWhy = "its readings cannot be judged: " + s.strImplausible;
        }
        else
        {
            s.fit = FitZone(trace, k, FitRows(trace, soak, a), static_cast<double>(asked.usInterval), s.from.llValue, a.strBent);
        }
        // Every reading of the soak, for whether the zone has stopped moving.
        s.tail = TailSlope(trace, k, soak, &s.dTailSpan, &s.dStep);
        s.bTail = s.dTailSpan > 0 || s.tail.bKnown;
    }
    a.meter = MeterLoad(asked.strPowerMeter, board.vSensors, trace, a);
    for (size_t k = 0; k < board.vSensors.size(); ++k)
    {
        SSensorAnalysis& s = a.vSensors[k];
        if (s.sensor.eKind == ESensorKind::Temp && s.soak.nGot > 0)
        {
            s.resistance = ResistanceOf(asked, trace, a, s, k);
            s.sustain = SustainOf(asked.limits.limSustainTemp, trace, a, s, k);
        }
    }
    return a;
}
