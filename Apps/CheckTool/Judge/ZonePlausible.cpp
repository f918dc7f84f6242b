// SPDX-License-Identifier: MIT
// A zone's readings judged as a whole: their range, their leaps, their steps, and the other zones.
#include "ZonePlausible.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "NumberText.h"

namespace
{

// What parts are rated for, industrial to automotive and beyond (m°C): a reading past either is
// a sensor's fault code (-274000, -273200, 255000, INT_MAX), never a board's temperature.
const tint64 kColdest = -55000;
const tint64 kHottest = 150000;
// No zone under a steady load leaps this far from the readings either side within a few
// samples and comes back (m°C); a die's own jump at the load's start stays.
const tint64 kLeap = 20000;
const size_t kLeapReadings = 3;
// What a kernel writing whole degrees (41 for 41 C) or tenths (410) gives from -55 to 150 C.
const tint64 kWholeLow = -55;
const tint64 kWholeHigh = 150;
const tint64 kTenthsLow = -550;
const tint64 kTenthsHigh = 1500;
// Steps finer than this (m°C) are such a kernel's 1: a sensor read in m°C steps by tens or
// hundreds, and a real zone near 0 C that fine is rare enough to need another zone to vouch.
const tint64 kFineStep = 5;
// Another zone this close (m°C) at every sample both read vouches for readings near 0 C.
const tint64 kVouch = 2000;
// Values sensors give for no reading that a board may also read: a signed byte's top in whole
// degrees, and 16 bits' ones, in m°C.
const tint64 kCodes[] = {127000, 65535, 32767};

struct SReading
{
    size_t iRow;
    tint64 llValue;
};

std::vector<SReading> ReadingsOf(const SSoakTrace& trace, size_t k)
{
    std::vector<SReading> v;
    for (size_t i = 0; i < trace.nSamples; ++i)
    {
        if (trace.Value(i, k) != kMissing)
        {
            v.push_back(SReading{i, trace.Value(i, k)});
        }
    }
    return v;
}

std::string Joined(const std::string& strA, const std::string& strB)
{
    return strA.empty() ? strB : strB.empty() ? strA : strA + "; " + strB;
}

// A reading beyond what any part is rated for: one is enough to doubt every other.
std::string OutOfRange(const std::vector<SReading>& v)
{
    const auto bLess = [](const SReading& a, const SReading& b) { return a.llValue < b.llValue; };
    const auto itLow = std::min_element(v.begin(), v.end(), bLess);
    const auto itHigh = std::max_element(v.begin(), v.end(), bLess);
    if (itLow != v.end() && itLow->llValue < kColdest)
    {
        return ShowFixed(itLow->llValue, 3, 3) + " C is below -55 C: a sensor's fault code?";
    }
    if (itHigh != v.end() && itHigh->llValue > kHottest)
    {
        return ShowFixed(itHigh->llValue, 3, 3) + " C is above 150 C: a sensor's fault code?";
    }
    return "";
}

// How far readings [i, j) all lie, the same way, from v[i - 1] and v[j]: kLeap or more, else 0.
// Readings within kColdest to kHottest, so that no difference overflows.
tint64 Leap(const std::vector<SReading>& v, size_t i, size_t j)
{
    tint64 llLeast = 0;
    int nWay = 0;
    for (size_t m = i; m < j; ++m)
    {
        const tint64 llUp = std::min(v[m].llValue - v[i - 1].llValue, v[m].llValue - v[j].llValue);
        const tint64 llDown = std::min(v[i - 1].llValue - v[m].llValue, v[j].llValue - v[m].llValue);
        const int nThis = llUp >= kLeap ? 1 : llDown >= kLeap ? -1 : 0;
        if (nThis == 0 || (nWay != 0 && nThis != nWay))
        {
            return 0;
        }
        nWay = nThis;
        llLeast = m == i ? std::max(llUp, llDown) : std::min(llLeast, std::max(llUp, llDown));
    }
    return llLeast;
}

// Runs of up to kLeapReadings readings that leap kLeap from the readings either side and back:
// a glitch, the first one told. Their readings are marked in vbLeapt.
std::string Glitch(const SSoakTrace& trace, const std::vector<SReading>& v, std::vector<bool>& vbLeapt)
{
    std::string strWhy;
    for (size_t i = 1; i + 1 < v.size(); ++i)
    {
        for (size_t j = i + 1; j < v.size() && j <= i + kLeapReadings; ++j)
        {
            const tint64 llBy = Leap(v, i, j);
            if (llBy == 0)
            {
                continue;
            }
            std::fill(vbLeapt.begin() + static_cast<std::ptrdiff_t>(i), vbLeapt.begin() + static_cast<std::ptrdiff_t>(j), true);
            strWhy = !strWhy.empty() ? strWhy
                                     : ShowFixed(v[i].llValue, 3, 3) + " C at " + Seconds(trace.vllTimeUs[v[i].iRow]) +
                                           (j - i > 1 ? ", the first of " + std::to_string(j - i) + " readings that leap " : " leaps ") +
                                           ShowFixed(llBy, 3, 3) + " C from the readings either side and back: a glitch?";
            i = j;
            break;
        }
    }
    return strWhy;
}

// Every reading one of the values sensors give for none.
std::string StuckAtCode(const std::vector<tint64>& vll)
{
    const bool bStill = !vll.empty() && SmallestStep(vll) == 0;
    const bool bCode = bStill && std::find(std::begin(kCodes), std::end(kCodes), vll[0]) != std::end(kCodes);
    return bCode ? "every reading is " + ShowFixed(vll[0], 3, 3) + " C, a value sensors give for none: a fault code?" : "";
}

// Readings a kernel writing whole degrees or tenths gives: within what it gives from -55 to
// 150 C, nine in ten of them at least (a stray reading of a few degrees in m°C vouches for no
// other), and still or moving by its steps of 1.
std::string CoarserUnit(const std::vector<tint64>& vll)
{
    std::vector<tint64> vllIn;
    std::copy_if(vll.begin(), vll.end(), std::back_inserter(vllIn), [](tint64 ll) { return ll >= kTenthsLow && ll <= kTenthsHigh; });
    if (vllIn.empty() || vllIn.size() * 10 < vll.size() * 9)
    {
        return "";
    }
    const auto itLow = std::min_element(vllIn.begin(), vllIn.end());
    const auto itHigh = std::max_element(vllIn.begin(), vllIn.end());
    const tint64 llStep = SmallestStep(vllIn);
    const bool bWhole = *itLow >= kWholeLow && *itHigh <= kWholeHigh;
    const std::string strOf = vllIn.size() == vll.size() ? "" : " (" + std::to_string(vllIn.size()) + " of " + std::to_string(vll.size()) + ")";
    if (llStep == 0 && bWhole)
    {
        return (strOf.empty() ? "every reading is " : "readings" + strOf + " are ") + std::to_string(*itLow) +
               " m°C: a kernel that writes whole degrees?";
    }
    if (llStep > 0 && llStep < kFineStep)
    {
        return "readings of " + std::to_string(*itLow) + " to " + std::to_string(*itHigh) + " m°C" + strOf + " move by " +
               std::to_string(llStep) + " m°C steps: a kernel that writes " + (bWhole ? "whole degrees?" : "tenths of a degree?");
    }
    return "";
}

// Whether zone o, itself plausible, read within kVouch of zone k at every sample both read,
// one at least: a board near 0 C, where a zone that fine is real.
bool Vouches(const SSoakTrace& trace, size_t o, size_t k)
{
    size_t nBoth = 0;
    for (size_t i = 0; i < trace.nSamples; ++i)
    {
        const tint64 llOwn = trace.Value(i, k), llOther = trace.Value(i, o);
        if (llOwn == kMissing || llOther == kMissing)
        {
            continue;
        }
        if (std::llabs(llOwn - llOther) > kVouch)
        {
            return false;
        }
        ++nBoth;
    }
    return nBoth > 0;
}

} // namespace

std::vector<std::string> ImplausibleZones(const SSoakTrace& trace, const std::vector<SSensor>& vSensors)
{
    // A fault (a reading out of range, a glitch, a code) no other zone excuses; readings that
    // look like another unit, one close to them all through does.
    std::vector<std::string> vFault(vSensors.size()), vUnit(vSensors.size());
    for (size_t k = 0; k < vSensors.size(); ++k)
    {
        if (vSensors[k].eKind != ESensorKind::Temp)
        {
            continue;
        }
        const std::vector<SReading> v = ReadingsOf(trace, k);
        vFault[k] = OutOfRange(v);
        if (!vFault[k].empty())
        {
            continue;
        }
        std::vector<bool> vbLeapt(v.size(), false);
        const std::string strGlitch = Glitch(trace, v, vbLeapt);
        std::vector<tint64> vllKept;
        for (size_t i = 0; i < v.size(); ++i)
        {
            if (!vbLeapt[i])
            {
                vllKept.push_back(v[i].llValue);
            }
        }
        vFault[k] = Joined(strGlitch, StuckAtCode(vllKept));
        vUnit[k] = CoarserUnit(vllKept);
    }
    std::vector<std::string> vWhy(vSensors.size());
    for (size_t k = 0; k < vSensors.size(); ++k)
    {
        bool bVouched = false;
        for (size_t o = 0; o < vSensors.size() && vFault[k].empty() && !vUnit[k].empty() && !bVouched; ++o)
        {
            bVouched = o != k && vSensors[o].eKind == ESensorKind::Temp && vFault[o].empty() && vUnit[o].empty() && Vouches(trace, o, k);
        }
        vWhy[k] = Joined(vFault[k], bVouched ? "" : vUnit[k]);
    }
    return vWhy;
}
