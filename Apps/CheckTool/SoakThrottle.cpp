// SPDX-License-Identifier: MIT
// The throttle from cpufreq's statistics or the sampled clock, and the bend in a zone's rise.
#include "SoakThrottle.h"

#include "SoakLines.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace
{

// time_in_state where it was read at every sample with the clocks it began with, and never
// went back (a reset); else why not, and bKnown false.
SThrottle StatesThrottle(const SSoakTrace& trace, SRows rows, std::string* pstrNotStates)
{
    SThrottle th;
    std::vector<size_t> vRead;
    std::string& strNotStates = *pstrNotStates;
    for (size_t i = rows.iFirst; i < rows.iEnd && trace.nStates > 0 && strNotStates.empty(); ++i)
    {
        if (trace.vllStateTime[i * trace.nStates] == kMissing)
        {
            strNotStates = "cpufreq's time_in_state changed its clocks, or could not be read, " +
                           Seconds(trace.vllTimeUs[i]) + " into the soak";
        }
        vRead.push_back(i);
    }
    const auto at = [&](size_t i, size_t s) { return trace.vllStateTime[i * trace.nStates + s]; };
    for (size_t j = 1; j < vRead.size() && strNotStates.empty(); ++j)
    {
        for (size_t s = 0; s < trace.nStates && strNotStates.empty(); ++s)
        {
            if (at(vRead[j], s) < at(vRead[j - 1], s))
            {
                strNotStates = "cpufreq's time_in_state went back " + Seconds(trace.vllTimeUs[vRead[j]]) + " into the soak (a reset?)";
            }
        }
    }
    if (vRead.size() < 2 || !strNotStates.empty())
    {
        return th;
    }
    tint64 llTop = -1;
    for (size_t s = 0; s < trace.nStates; ++s)
    {
        if (at(vRead.back(), s) > at(vRead.front(), s))
        {
            llTop = std::max(llTop, trace.vllStateKHz[s]);
            th.llLowKHz = th.llLowKHz < 0 ? trace.vllStateKHz[s] : std::min(th.llLowKHz, trace.vllStateKHz[s]);
        }
    }
    if (llTop < 0)
    {
        return th;
    }
    const auto below = [&](size_t i) {
        tint64 us = 0;
        for (size_t s = 0; s < trace.nStates; ++s)
        {
            us += trace.vllStateKHz[s] < llTop ? at(i, s) : 0;
        }
        return us;
    };
    th.bKnown = true;
    th.strTop = ShowFixed(llTop, 3, 0) + " MHz";
    th.strSource = " (cpufreq's time_in_state, which counts every change)";
    th.dBelow = static_cast<double>(below(vRead.back()) - below(vRead.front()));
    for (size_t j = 1; j < vRead.size() && !th.bThrottled; ++j)
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

} // namespace

SThrottle FindThrottle(const SSoakTrace& trace, SRows rows, const SSeries& clock)
{
    std::string strNotStates;
    SThrottle th = StatesThrottle(trace, rows, &strNotStates);
    if (th.bKnown)
    {
        return th;
    }
    th = SThrottle();
    // The samples: a change between two is seen at the second, and one shorter than INTERVAL may be missed.
    if (clock.nGot == 0)
    {
        th.strWhy = strNotStates.empty() ? "neither cpufreq/stats/time_in_state nor cpufreq/scaling_cur_freq could be read"
                                         : strNotStates + ", and cpufreq/scaling_cur_freq could not be read";
        return th;
    }
    th.bKnown = true;
    th.strTop = ShowFixed(clock.llHigh, 3, 0) + " MHz";
    th.strSource = " (" + std::to_string(clock.nGot) + " samples of scaling_cur_freq: a change shorter than INTERVAL may be missed" +
                   (strNotStates.empty() ? "" : "; " + strNotStates) + ")";
    size_t iPrev = rows.iEnd;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        if (trace.vllKHz[i] == kMissing)
        {
            continue;
        }
        if (iPrev != rows.iEnd && trace.vllKHz[iPrev] < clock.llHigh)
        {
            th.dBelow += static_cast<double>(trace.vllTimeUs[i] - trace.vllTimeUs[iPrev]);
        }
        if (!th.bThrottled && trace.vllKHz[i] < clock.llHigh)
        {
            th.bThrottled = true;
            th.dOnset = static_cast<double>(trace.vllTimeUs[i]);
            th.strOnsetHow = ", when a sample first saw it";
        }
        iPrev = i;
    }
    return th;
}

double BendStart(const SSoakSetup& setup, const SSoakTrace& trace, const SThrottle& th, SRows rows, std::string* pstrWhat)
{
    double dBend = th.bThrottled ? th.dOnset : HUGE_VAL;
    *pstrWhat = th.bThrottled ? "the throttle onset at " + Printed(2, th.dOnset / 1e6) + " s" : "";
    for (size_t k = 0; k < setup.vSensors.size(); ++k)
    {
        if (setup.vSensors[k].eKind != ESensorKind::Cooling)
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
                    *pstrWhat = "cooling device " + setup.vSensors[k].strName + " leaving state 0 at " + Printed(2, dAt / 1e6) + " s";
                }
                break;
            }
            iPrev = i;
        }
    }
    return dBend;
}
