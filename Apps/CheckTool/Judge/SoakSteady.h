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
    std::vector<SInterval> vLast;  // a zone's T∞ interval at the last look, unknown where none
};

// True once the soak has run three minutes and every zone is steady: each fitted zone's T∞
// interval narrower than STEADY_TOL (or one and a half of its sensor's steps), the same at two
// looks in a row, the later T∞ inside the earlier interval; a zone that rose too little is
// steady, and so is one that a bend stopped (a throttle, a fan) and that has held within
// STEADY_TOL for as long as it took to get there; and under a standard's rule, every zone's
// rise over its window within the rule. pstrWhy then says which rule, after how many τ of the
// slow pole, and which of the standards' rules the soak as run also met. Each call is a look.
bool SoakIsSteady(const SCheckParams& asked, const SSoakTrace& trace, const SSoakAnalysis& analysis, SSteadyWatch* pWatch,
                  std::string* pstrWhy);
