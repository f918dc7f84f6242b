// SPDX-License-Identifier: MIT
// Whether a growing soak's board is steady, look after look: UNTIL_STEADY's end.
#include "SoakSteady.h"

#include <algorithm>
#include <cmath>

#include "NumberText.h"

namespace
{

const tint64 kSteadyFloor = 180000000;  // µs: three minutes

} // namespace

bool SoakIsSteady(const SSoakAnalysis& analysis, SSteadyWatch* pWatch, std::string* pstrWhy)
{
    std::string strZones;
    double dTauMax = 0;
    bool bSteady = true;
    pWatch->vvLooks.resize(analysis.vSensors.size());
    for (size_t k = 0; k < analysis.vSensors.size(); ++k)
    {
        const SSensorAnalysis& s = analysis.vSensors[k];
        if (s.sensor.eKind != ESensorKind::Temp || s.soak.nGot == 0 || !s.bTail)
        {
            continue;
        }
        // Every zone must have stopped moving: at its last third's pace, as fast as its readings
        // allow (their noise, a sensor's steps), it would not move 0.5 C were the soak as long
        // again, nor in the next minute.
        // A drift a step's worth over the last third hides in a run of equal readings.
        const double dPace = std::fabs(s.tail.dSlope) + 2 * s.tail.dError + s.dStep / std::max(s.dTailSpan / 3, 1.0);
        bSteady = bSteady && s.tail.bKnown && dPace * std::max(s.dTailSpan, kStillHorizon) <= 0.5;
        const SZoneFit& z = s.fit;
        std::vector<SSteadyWatch::SLook>& vLooks = pWatch->vvLooks[k];
        vLooks.push_back(SSteadyWatch::SLook{z.bFitted ? z.model.nPoles : 0, z.model.dSteady, z.model.dTau});
        if (!z.bFitted)
        {
            // One that rose too little is still; any other that cannot be fitted is not yet known.
            bSteady = bSteady && z.bFlat;
            continue;
        }
        // Its slow pole seen for 3 τ, and, where nothing bent it, within 0.5 C of T∞.
        bSteady = bSteady && z.dSpan >= 3 * z.model.dTau &&
                  (!analysis.strBent.empty() || std::fabs(z.dLast - z.model.dSteady) <= 0.5);
        // The model held over the last three looks: the same poles, T∞ within 0.5 C, τ within
        // a fifth. A pole found late, or a T∞ still moving, is no steady board.
        const size_t n = vLooks.size();
        for (size_t i = n >= 3 ? n - 3 : 0; i + 1 < n && bSteady; ++i)
        {
            bSteady = n >= 3 && vLooks[i].nPoles == z.model.nPoles && std::fabs(vLooks[i].dSteady - z.model.dSteady) <= 0.5 &&
                      std::fabs(vLooks[i].dTau - z.model.dTau) <= 0.2 * z.model.dTau;
        }
        bSteady = bSteady && n >= 3;
        strZones += (strZones.empty() ? "" : ", ") + s.sensor.strName;
        dTauMax = std::max(dTauMax, z.model.dTau);
    }
    // A board's own slow pole lasts a minute or more, and early in a soak it rises too little
    // to be told from its die's: none is steady before three of them.
    if (!bSteady || strZones.empty() || analysis.usSoak < kSteadyFloor)
    {
        return false;
    }
    *pstrWhy = "every zone still, and each fitted one (" + strZones + ") seen for 3 τ of its slow pole (up to " +
               ShowSeconds(dTauMax) + " s), its T∞ within 0.5 C over the last three looks";
    return true;
}
