// SPDX-License-Identifier: MIT
// Finds the stretch of a soak in which a zone held at its passive trip, and the power then.
#include "TripHold.h"

#include "NumberText.h"

#include <algorithm>
#include <cmath>

STripHold FindTripHold(const SSoakTrace& trace, SRows soak, size_t iZone, size_t iMeter, tint64 llTrip)
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
    // The hold begins where the zone reached the trip: before that it was still rising to it.
    while (iStart < soak.iEnd && trace.Value(iStart, iZone) < llTrip)
    {
        ++iStart;
    }
    const std::string strTrip = ShowFixed(llTrip, 3, 1) + " C";
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
