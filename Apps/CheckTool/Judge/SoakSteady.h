// SPDX-License-Identifier: MIT
// Whether a growing soak's board is steady, look after look: UNTIL_STEADY's end, by the
// check's own rule or a standard's rate.
#pragma once

#include <string>
#include <vector>

#include "SoakAnalysis.h"

// A rule for "steady": a zone's rise over the last window at most llRise (m°C); the check's
// own (no window) asks only that every fitted zone's T∞ be known within STEADY_TOL.
struct SSteadyRule
{
    const char* pszName;  // as STEADY_RULE names it
    const char* pszText;
    tint64 usWindow;
    tint64 llRise;
};
extern const SSteadyRule kSteadyRules[];
extern const size_t kSteadyRuleCount;

// What earlier looks at a growing soak saw of each zone's T∞: a known T∞ must hold.
struct SSteadyWatch
{
    struct SLook
    {
        tint64 usSoak = 0;
        SInterval steady;  // unknown where the zone was not fitted
    };
    std::vector<std::vector<SLook>> vvLooks;  // a zone's, the latest last
};

// True once the soak has run three minutes and every zone is steady: each fitted zone seen for
// 2 τ of its slow pole, its T∞ interval narrower than STEADY_TOL (beyond the one and a half
// steps a quantised sensor adds), and its T∞ inside the interval a look at two thirds of the
// soak gave (a slower pole coming into view moves it out), and its last third drifting past
// its model by less than half STEADY_TOL over the soak, at the most its noise and its sensor's
// step allow (whole degrees hide a slow pole: they need a wider STEADY_TOL); a zone that rose too little is
// steady, and so is one that a bend stopped (a throttle, a fan) and that has held within
// STEADY_TOL for as long as it took to get there; and under a standard's rule, every zone's
// rise over its window within the rule. pstrWhy then says which rule, after how many τ of the
// slow pole, and which of the standards' rules the soak as run also met. Each call is a look.
bool SoakIsSteady(const SCheckParams& asked, const SSoakTrace& trace, const SSoakAnalysis& analysis, SSteadyWatch* pWatch,
                  std::string* pstrWhy);
