// SPDX-License-Identifier: MIT
// The throttle: a cap below the clock's ceiling, not a governor's ramp up to it nor a wobble
// about it; from cpufreq's statistics or the sampled clock, with the kernel's own word.
#include "SoakThrottle.h"

#include "NumberText.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace
{

// Where no table of operating points says how far apart two clocks are, a reading this
// share below the ceiling is below it: activity counters wobble by thousandths of that, and
// a single reading below counts.
const double kClockMargin = 0.03;
// A governor ramps the clock up within a fraction of a second of the load: below the ceiling
// after this, the clock is capped, however late it reached the ceiling.
const double kRampBound = 1e6;  // µs

// The clock a reading must lie below to be below the ceiling: half a step of the table of
// operating points down to the next one, else kClockMargin of it. *pstrHow says which.
tint64 BelowCeiling(const SBoard& board, tint64 llCeiling, std::string* pstrHow)
{
    for (const tint64 llOpp : board.vllOppKHz)
    {
        if (llOpp < llCeiling - llCeiling / 100)
        {
            *pstrHow = "more than half a step of its operating points (" + ShowMHz(llCeiling - llOpp) + ")";
            return llCeiling - (llCeiling - llOpp) / 2;
        }
    }
    *pstrHow = "more than " + Printed(0, 100 * kClockMargin) + " % (no table of operating points says its step)";
    return static_cast<tint64>(static_cast<double>(llCeiling) * (1 - kClockMargin));
}

// The baseline's last row that read a value (vllMaxKHz, or sensor k), else the soak's first:
// where it stood as the load began, which a cap landing before the first soak sample has
// already moved.
size_t RowBefore(const SSoakTrace& trace, SRows rows, bool bMax, size_t k)
{
    for (size_t i = rows.iFirst; i > 0; --i)
    {
        if ((bMax ? trace.vllMaxKHz[i - 1] : trace.Value(i - 1, k)) != kMissing)
        {
            return i - 1;
        }
    }
    return rows.iFirst;
}

// The highest clock CPU K can run at, as far as the soak knows: its table's top, or a clock it
// was read at above that (a boost clock a table can leave out); none where it has no table.
tint64 ClockTop(const SBoard& board, const SSoakTrace& trace)
{
    if (board.vllOppKHz.empty())
    {
        return std::numeric_limits<tint64>::max();
    }
    tint64 llTop = *std::max_element(board.vllOppKHz.begin(), board.vllOppKHz.end());
    for (size_t i = 0; i < trace.nSamples; ++i)
    {
        llTop = trace.vllKHz[i] != kMissing ? std::max(llTop, trace.vllKHz[i]) : llTop;
    }
    return llTop;
}

// The kernel's own word on a cap, the earliest: scaling_max_freq lowered from where it was as
// the load began to below the highest clock the CPU can run at (a maximum above that, lowered
// to it, binds nothing), or a cooling device that caps CPU K leaving state 0. HUGE_VAL where
// neither.
double KernelCap(const SBoard& board, const SSoakTrace& trace, SRows rows, std::string* pstrHow)
{
    double dAt = HUGE_VAL;
    tint64 llStart = rows.Count() > 0 ? trace.vllMaxKHz[RowBefore(trace, rows, true, 0)] : kMissing;
    const tint64 llTop = ClockTop(board, trace);
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        const tint64 ll = trace.vllMaxKHz[i];
        llStart = llStart == kMissing ? ll : llStart;
        if (ll != kMissing && llStart != kMissing && ll < std::min(llStart, llTop))
        {
            dAt = static_cast<double>(trace.vllTimeUs[i]);
            *pstrHow = "; scaling_max_freq fell from " + ShowMHz(llStart) + " to " + ShowMHz(ll) + " at " + Printed(2, dAt / 1e6) +
                       " s (a thermal or QoS cap)";
            break;
        }
    }
    for (size_t k = 0; k < board.vSensors.size(); ++k)
    {
        if (!board.vSensors[k].bOfCPU)
        {
            continue;
        }
        const size_t iBefore = RowBefore(trace, rows, false, k);
        size_t iPrev = iBefore < rows.iFirst ? iBefore : rows.iEnd;
        for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
        {
            const tint64 ll = trace.Value(i, k);
            if (ll == kMissing)
            {
                continue;
            }
            if (iPrev != rows.iEnd && ll > trace.Value(iPrev, k))
            {
                const double dFrom = std::max(static_cast<double>(trace.vllTimeUs[iPrev]),
                                              static_cast<double>(trace.vllTimeUs[i] - (ll - trace.Value(iPrev, k))));
                // Every word the kernel gave, the earliest first.
                const std::string strDevice = "; cooling device " + board.vSensors[k].strName + " above state 0 from " +
                                              Printed(2, dFrom / 1e6) + " s";
                *pstrHow = dFrom < dAt ? strDevice + *pstrHow : *pstrHow + strDevice;
                dAt = std::min(dAt, dFrom);
                break;
            }
            iPrev = i;
        }
    }
    return dAt;
}

// time_in_state where it was read at every sample with the clocks it began with, and never
// went back (a reset); else why not, and bKnown false. Time below the ceiling counts from the
// first interval after the one in which the clock reached it: the ramp is the governor's.
// The rows whose time_in_state counts: every one, while each was read with the soak's clocks
// and none went back (a reset); else why it does not count.
std::string StatesRead(const SSoakTrace& trace, SRows rows, std::vector<size_t>* pvRead)
{
    std::vector<size_t>& vRead = *pvRead;
    for (size_t i = rows.iFirst; i < rows.iEnd && trace.nStates > 0; ++i)
    {
        if (trace.vllStateTime[i * trace.nStates] == kMissing)
        {
            return "cpufreq's time_in_state changed its clocks, or could not be read, " + Seconds(trace.vllTimeUs[i]) + " into the soak";
        }
        vRead.push_back(i);
    }
    for (size_t j = 1; j < vRead.size(); ++j)
    {
        for (size_t s = 0; s < trace.nStates; ++s)
        {
            if (trace.vllStateTime[vRead[j] * trace.nStates + s] < trace.vllStateTime[vRead[j - 1] * trace.nStates + s])
            {
                return "cpufreq's time_in_state went back " + Seconds(trace.vllTimeUs[vRead[j]]) + " into the soak (a reset?)";
            }
        }
    }
    return "";
}

SThrottle StatesThrottle(const SSoakTrace& trace, SRows rows, std::string* pstrNotStates)
{
    SThrottle th;
    std::vector<size_t> vRead;
    std::string& strNotStates = *pstrNotStates;
    strNotStates = StatesRead(trace, rows, &vRead);
    const auto at = [&](size_t i, size_t s) { return trace.vllStateTime[i * trace.nStates + s]; };
    size_t iTop = trace.nStates;
    for (size_t s = 0; s < trace.nStates && vRead.size() >= 2 && strNotStates.empty(); ++s)
    {
        iTop = at(vRead.back(), s) > at(vRead.front(), s) && (iTop == trace.nStates || trace.vllStateKHz[s] > trace.vllStateKHz[iTop]) ? s : iTop;
    }
    if (vRead.size() >= 2 && strNotStates.empty() && iTop == trace.nStates)
    {
        strNotStates = "cpufreq's time_in_state was read at every sample but never advanced";
    }
    if (!strNotStates.empty() || vRead.size() < 2)
    {
        return th;
    }
    th.llCeilingKHz = trace.vllStateKHz[iTop];
    // A clock at its ceiling at the first sample (the performance governor's) has no ramp;
    // else the ramp ends in the interval where the ceiling's time first grew.
    const tint64 llFirstKHz = trace.vllKHz[vRead.front()];
    size_t jCeiling = 0;
    while (llFirstKHz != kMissing && llFirstKHz < th.llCeilingKHz && at(vRead[jCeiling + 1], iTop) == at(vRead[jCeiling], iTop))
    {
        ++jCeiling;
    }
    jCeiling += llFirstKHz != kMissing && llFirstKHz < th.llCeilingKHz ? 1 : 0;
    // However late the ceiling came, no ramp lasts past the interval that holds kRampBound.
    while (jCeiling > 1 && static_cast<double>(trace.vllTimeUs[vRead[jCeiling - 1]]) >= kRampBound)
    {
        --jCeiling;
    }
    th.dCeilingAt = static_cast<double>(jCeiling == 0 ? trace.vllTimeUs[vRead.front()]
                                                      : std::max(trace.vllTimeUs[vRead[jCeiling - 1]],
                                                                 trace.vllTimeUs[vRead[jCeiling]] -
                                                                     (at(vRead[jCeiling], iTop) - at(vRead[jCeiling - 1], iTop))));
    const auto below = [&](size_t i) {
        tint64 us = 0;
        for (size_t s = 0; s < trace.nStates; ++s)
        {
            us += trace.vllStateKHz[s] < th.llCeilingKHz ? at(i, s) : 0;
        }
        return us;
    };
    for (size_t s = 0; s < trace.nStates; ++s)
    {
        const bool bRamp = at(vRead[jCeiling], s) > at(vRead.front(), s) && trace.vllStateKHz[s] < th.llCeilingKHz;
        th.llRampKHz = bRamp && (th.llRampKHz < 0 || trace.vllStateKHz[s] < th.llRampKHz) ? trace.vllStateKHz[s] : th.llRampKHz;
        const bool bAfter = at(vRead.back(), s) > at(vRead[jCeiling], s);
        th.llLowKHz = bAfter && (th.llLowKHz < 0 || trace.vllStateKHz[s] < th.llLowKHz) ? trace.vllStateKHz[s] : th.llLowKHz;
    }
    th.bLowStates = true;
    th.bKnown = true;
    th.strSource = " (cpufreq's time_in_state, which counts every change)";
    th.dBelow = static_cast<double>(below(vRead.back()) - below(vRead[jCeiling]));
    for (size_t j = jCeiling + 1; j < vRead.size() && !th.bThrottled; ++j)
    {
        const tint64 usGrew = below(vRead[j]) - below(vRead[j - 1]);
        if (usGrew > 0)
        {
            // Below for usGrew of this interval: it fell at its end's minus that, at the latest.
            const double dFrom = static_cast<double>(trace.vllTimeUs[vRead[j - 1]]);
            const double dTo = static_cast<double>(trace.vllTimeUs[vRead[j]]);
            th.bThrottled = true;
            th.dOnset = std::max(dFrom, dTo - static_cast<double>(usGrew));
            th.strOnsetHow = ": " + Printed(2, static_cast<double>(usGrew) / 1e6) + " s below it in the sample from " +
                             Printed(2, dFrom / 1e6) + " to " + Printed(2, dTo / 1e6) + " s";
        }
    }
    return th;
}

// The ceiling of the sampled clock, established: the highest it was read at twice, in a row or
// not (the soak's second-highest reading), so that one odd reading sets none while a clock that
// flickers down from its first reading still has its own; never above the top of the table of
// operating points, so that a clock that never reached its top has the highest it did reach.
tint64 ReadCeiling(const SBoard& board, const SSoakTrace& trace, SRows rows, const SSeries& clock)
{
    tint64 llHighest = kMissing, llCeiling = kMissing;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        const tint64 ll = trace.vllKHz[i];
        llCeiling = std::max(llCeiling, std::min(ll, llHighest));
        llHighest = std::max(llHighest, ll);
    }
    llCeiling = clock.nGot < 2 ? clock.llHigh : llCeiling;
    return board.vllOppKHz.empty() ? llCeiling : std::min(llCeiling, board.vllOppKHz.front());
}

// The sampled clock: once it had reached its ceiling, each reading below it is capped and counts
// until the next, however short the run: a firmware that caps in bursts shorter than two
// samples flickers between the ceiling and the cap from one reading to the next. A change
// shorter than INTERVAL may be missed.
SThrottle SamplesThrottle(const SBoard& board, const SSoakTrace& trace, SRows rows, const SSeries& clock)
{
    SThrottle th;
    th.bKnown = true;
    th.llCeilingKHz = ReadCeiling(board, trace, rows, clock);
    std::string strResolution;
    const tint64 llBelow = BelowCeiling(board, th.llCeilingKHz, &strResolution);
    th.strSource = " (" + std::to_string(clock.nGot) + " samples of scaling_cur_freq, each below it by " + strResolution +
                   " counted until the next: a change shorter than INTERVAL may be missed)";
    std::vector<size_t> vRead;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        if (trace.vllKHz[i] != kMissing &&
            (!vRead.empty() || trace.vllKHz[i] >= llBelow || static_cast<double>(trace.vllTimeUs[i]) >= kRampBound))
        {
            vRead.push_back(i);
        }
        else if (trace.vllKHz[i] != kMissing)
        {
            th.llRampKHz = th.llRampKHz < 0 ? trace.vllKHz[i] : std::min(th.llRampKHz, trace.vllKHz[i]);
        }
    }
    th.dCeilingAt = vRead.empty() ? 0 : static_cast<double>(trace.vllTimeUs[vRead.front()]);
    for (size_t j = 0; j < vRead.size(); ++j)
    {
        const tint64 ll = trace.vllKHz[vRead[j]];
        th.llLowKHz = th.llLowKHz < 0 ? ll : std::min(th.llLowKHz, ll);
        if (ll < llBelow && j + 1 < vRead.size())
        {
            th.dBelow += static_cast<double>(trace.vllTimeUs[vRead[j + 1]] - trace.vllTimeUs[vRead[j]]);
        }
        if (ll < llBelow && !th.bThrottled)
        {
            th.bThrottled = true;
            th.dOnset = static_cast<double>(trace.vllTimeUs[vRead[j]]);
            th.strOnsetHow = ", when a sample first saw it below";
        }
    }
    return th;
}

} // namespace

SThrottle FindThrottle(const SBoard& board, const SSoakTrace& trace, SRows rows, const SSeries& clock)
{
    std::string strNotStates;
    SThrottle th = StatesThrottle(trace, rows, &strNotStates);
    if (!th.bKnown && clock.nGot == 0)
    {
        const std::string strStates = !board.strStatesWhy.empty() ? "cpufreq/stats/time_in_state is " + board.strStatesWhy
                                      : strNotStates.empty()      ? "cpufreq's time_in_state gave too few samples"
                                                                  : strNotStates;
        const std::string strCur = !board.strCurFreqWhy.empty() ? "cpufreq/scaling_cur_freq is " + board.strCurFreqWhy
                                                                : "cpufreq/scaling_cur_freq could not be read in the soak";
        th.strWhy = strStates + ", and " + strCur;
        return th;
    }
    // The samples' lowest clock once the ceiling was reached, beside time_in_state's.
    const SThrottle sampled = clock.nGot > 0 ? SamplesThrottle(board, trace, rows, clock) : SThrottle();
    if (!th.bKnown)
    {
        th = sampled;
        th.strSource.insert(th.strSource.size() - 1, strNotStates.empty() ? "" : "; " + strNotStates);
    }
    th.llSampledLowKHz = sampled.llLowKHz;
    if (th.bLowStates && sampled.bThrottled && (!th.bThrottled || sampled.dOnset < th.dOnset))
    {
        // time_in_state counts the clocks cpufreq set, never a cap beneath it (a firmware's):
        // the samples saw that first, and they count it.
        const std::string strStates = th.bThrottled ? "only at " + Printed(2, th.dOnset / 1e6) + " s" : "none";
        const tint64 llLowStates = th.llLowKHz;
        th = sampled;
        th.strOnsetHow += ", where cpufreq's time_in_state, which counts only the clocks cpufreq set, saw " + strStates +
                          ": a cap beneath cpufreq, a firmware's";
        th.bLowStates = true;
        th.llLowKHz = llLowStates;
        th.llSampledLowKHz = sampled.llLowKHz;
    }
    // What the kernel says of a cap places the onset where it came first.
    std::string strKernel;
    const double dKernel = KernelCap(board, trace, rows, &strKernel);
    if (dKernel < HUGE_VAL && (!th.bThrottled || dKernel < th.dOnset))
    {
        th.bThrottled = true;
        th.dOnset = std::max(dKernel, 0.0);
        th.strOnsetHow = strKernel.substr(1);
        th.strOnsetHow = ", found by the kernel:" + th.strOnsetHow;
    }
    else if (dKernel < HUGE_VAL)
    {
        th.strOnsetHow += "; the kernel agrees" + strKernel;
    }
    return th;
}

double BendStart(const SBoard& board, const SSoakTrace& trace, const SThrottle& th, SRows rows, std::string* pstrWhat)
{
    double dBend = th.bThrottled ? th.dOnset : HUGE_VAL;
    *pstrWhat = th.bThrottled ? "the throttle onset at " + Printed(2, th.dOnset / 1e6) + " s" : "";
    for (size_t k = 0; k < board.vSensors.size(); ++k)
    {
        if (board.vSensors[k].eKind != ESensorKind::Cooling)
        {
            continue;
        }
        // One that was above state 0 from the start is the board's own, steady cooling: a bend
        // is its leaving state 0 after an interval spent there, in the baseline or the soak.
        size_t iPrev = rows.iEnd;
        bool bRested = false;
        for (size_t i = 0; i < rows.iEnd; ++i)
        {
            const tint64 ll = trace.Value(i, k);
            if (ll == kMissing)
            {
                continue;
            }
            if (iPrev != rows.iEnd && ll <= trace.Value(iPrev, k))
            {
                bRested = true;
            }
            else if (iPrev != rows.iEnd && bRested)
            {
                const double dFrom = static_cast<double>(trace.vllTimeUs[iPrev]);
                const double dAt = std::max({0.0, dFrom, static_cast<double>(trace.vllTimeUs[i] - (ll - trace.Value(iPrev, k)))});
                if (dAt < dBend)
                {
                    dBend = dAt;
                    *pstrWhat = "cooling device " + board.vSensors[k].strName + " leaving state 0 at " + Printed(2, dAt / 1e6) + " s";
                }
                break;
            }
            iPrev = i;
        }
    }
    return dBend;
}
