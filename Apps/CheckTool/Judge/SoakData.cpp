// SPDX-License-Identifier: MIT
// The soak's samples: room for all of them, taken before the first; a sensor's series over some rows.
#include "SoakData.h"

#include <algorithm>
#include <cmath>

namespace
{

const size_t kMaxTraceBytes = 256U << 20;

} // namespace

bool SSoakTrace::Reserve(size_t nRows, size_t nSensorsPerRow, size_t nStatesPerRow)
{
    nSensors = nSensorsPerRow;
    nStates = nStatesPerRow;
    nSamples = 0;
    // Without exceptions a failed allocation would abort: ask for no more than can exist, and
    // no more than a small board's memory holds.
    if (nRows > kMaxSamples + 1 || nSensorsPerRow > 4096 || nStatesPerRow > 64 ||
        nRows * (5 + nSensorsPerRow + nStatesPerRow) > kMaxTraceBytes / sizeof(tint64))
    {
        return false;
    }
    vllTimeUs.assign(nRows, 0);
    vllBusy.assign(nRows, kMissing);
    vllTotal.assign(nRows, kMissing);
    vllKHz.assign(nRows, kMissing);
    vllMaxKHz.assign(nRows, kMissing);
    vllValues.assign(nRows * nSensorsPerRow, kMissing);
    vllStateKHz.assign(nStatesPerRow, 0);
    vllStateTime.assign(nRows * nStatesPerRow, kMissing);
    return true;
}

tint64 SmallestStep(std::vector<tint64> vll)
{
    std::sort(vll.begin(), vll.end());
    tint64 llStep = 0;
    for (size_t i = 1; i < vll.size(); ++i)
    {
        const tint64 llGap = vll[i] - vll[i - 1];
        llStep = llGap > 0 && (llStep == 0 || llGap < llStep) ? llGap : llStep;
    }
    return llStep;
}

tint64 SSeries::Mean() const
{
    return static_cast<tint64>(std::llround(ldSum / static_cast<long double>(nGot)));
}

SSeries Summarise(const SSoakTrace& trace, size_t iSensor, bool bClock, SRows rows)
{
    SSeries s;
    for (size_t i = rows.iFirst; i < rows.iEnd; ++i)
    {
        const tint64 ll = bClock ? trace.vllKHz[i] : trace.Value(i, iSensor);
        if (ll == kMissing)
        {
            continue;
        }
        if (s.nGot > 0 && ll < s.llLast && s.iBack == 0)
        {
            s.iBack = i;
            s.llBackFrom = s.llLast;
            s.llBackTo = ll;
            s.usBack = trace.vllTimeUs[i];
        }
        s.llFirst = s.nGot == 0 ? ll : s.llFirst;
        s.llHigh = s.nGot == 0 ? ll : std::max(s.llHigh, ll);
        s.llLow = s.nGot == 0 ? ll : std::min(s.llLow, ll);
        s.llLast = ll;
        s.ldSum += static_cast<long double>(ll);
        ++s.nGot;
    }
    return s;
}
