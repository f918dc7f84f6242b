// SPDX-License-Identifier: MIT
// Whether a growing soak's board is steady, look after look: UNTIL_STEADY's end.
#pragma once

#include <string>
#include <vector>

#include "SoakAnalysis.h"

// What earlier looks at a growing soak saw of each zone's model: steady needs it to hold.
struct SSteadyWatch
{
    struct SLook
    {
        int nPoles = 0;
        double dSteady = 0;
        double dTau = 0;
    };
    std::vector<std::vector<SLook>> vvLooks;  // a zone's, the latest last
};

// True once every zone is still and each that rose has been seen for 3 τ of its slow pole,
// with its model's T∞ within 0.5 C over the last three looks and its poles unchanged; pstrWhy
// then says so. Each call is a look, which pWatch keeps.
bool SoakIsSteady(const SSoakAnalysis& analysis, SSteadyWatch* pWatch, std::string* pstrWhy);
