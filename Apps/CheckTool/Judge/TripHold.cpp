// SPDX-License-Identifier: MIT
// Finds the stretch of a soak in which a zone held at its passive trip, and the power then.
#include "TripHold.h"

#include "NumberText.h"

#include <algorithm>
#include <cmath>

namespace
{

// How far a line through the zone's readings over rows moves from their first to their last, m°C.
double Drift(const SSoakTrace& trace, SRows rows, size_t iZone)
{
    double dN = 0, dT = 0, dY = 0, dTT = 0, dTY = 0;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        const tint64 ll = trace.Value(i, iZone);
        if (ll != kMissing)
        {
            const double t = static_cast<double>(trace.vllTimeUs[i] - trace.vllTimeUs[rows.iFirst]);
            dN += 1;
            dT += t;
            dY += static_cast<double>(ll);
            dTT += t * t;
            dTY += t * static_cast<double>(ll);
        }
    }
    const double dDet = dN * dTT - dT * dT;
    const double dSpan = static_cast<double>(trace.vllTimeUs[rows.iEnd - 1] - trace.vllTimeUs[rows.iFirst]);
    return dDet > 0 ? (dN * dTY - dT * dY) / dDet * dSpan : 0;
}

} // namespace

STripHold FindTripHold(const SSoakTrace& trace, SRows soak, size_t iZone, size_t iMeter, tint64 llTrip, double dCapAt)
{
    STripHold h;
    h.llTrip = llTrip;
    const auto within = [&](size_t i) {
        const tint64 ll = trace.Value(i, iZone);
        return ll != kMissing && ll >= llTrip - kHoldBelow && ll <= llTrip + kHoldAbove;
    };
    // Back from the soak's end while the zone reads within the band: a hold lasts to the end.
    size_t iStart = soak.iEnd;
    while (iStart > soak.iFirst && within(iStart - 1))
    {
        --iStart;
    }
    // The hold begins where the zone had reached the trip and the kernel had capped the clock:
    // before that it was still rising to it, or drawing what no cap had yet cut.
    bool bReached = false;
    while (iStart < soak.iEnd && (!bReached || static_cast<double>(trace.vllTimeUs[iStart]) < dCapAt))
    {
        bReached = bReached || trace.Value(iStart, iZone) >= llTrip;
        iStart += !bReached || static_cast<double>(trace.vllTimeUs[iStart]) < dCapAt ? 1U : 0U;
    }
    const std::string strTrip = ShowFixed(llTrip, 3, 1) + " C";
    if (dCapAt == HUGE_VAL)
    {
        h.strWhy = "nothing capped the clock, nor did a cooling device come on: the zone was not held at its passive trip point, " + strTrip;
        return h;
    }
    if (iStart == soak.iEnd)
    {
        h.strWhy = "the zone did not end the soak held at its passive trip point, " + strTrip;
        return h;
    }
    // Its later half: the meter, which may average, has caught up with the cap by then.
    const SRows held{iStart + (soak.iEnd - iStart) / 2, soak.iEnd};
    const SSeries zone = Summarise(trace, iZone, false, SRows{iStart, soak.iEnd});
    h.llLow = zone.llLow;
    h.llHigh = zone.llHigh;
    h.usHeld = trace.vllTimeUs[soak.iEnd - 1] - trace.vllTimeUs[iStart];
    double dSum = 0;
    double dSquares = 0;
    for (size_t i = held.iFirst; i < held.iEnd; ++i)
    {
        const tint64 ll = trace.Value(i, iMeter);
        if (ll != kMissing)
        {
            const double dW = static_cast<double>(ll) / 1e6;
            dSum += dW;
            dSquares += dW * dW;
            ++h.nMeasured;
        }
    }
    h.llMean = Summarise(trace, iZone, false, held).Mean();
    const double dDrift = Drift(trace, held, iZone);
    if (held.Count() >= 2 && std::fabs(dDrift) > static_cast<double>(kHoldAbove))
    {
        h.strWhy = "the zone stayed near its passive trip point, " + strTrip + ", for " + ShowSeconds(static_cast<double>(h.usHeld)) +
                   " s, but moved " + ShowFixed(static_cast<tint64>(dDrift), 3, 1) + " C over its later half: not held";
        return h;
    }
    if (h.nMeasured < kHoldLeast)
    {
        h.strWhy = "the zone held at its passive trip point, " + strTrip + ", for " + ShowSeconds(static_cast<double>(h.usHeld)) + " s: the meter read " +
                   std::to_string(h.nMeasured) + " times in its later half, " + std::to_string(kHoldLeast) + " needed";
        return h;
    }
    const double dN = static_cast<double>(h.nMeasured);
    h.dMeanW = dSum / dN;
    h.dSpreadW = std::sqrt(std::max(0.0, dSquares / dN - h.dMeanW * h.dMeanW));
    h.bHeld = true;
    return h;
}
