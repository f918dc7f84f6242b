// SPDX-License-Identifier: MIT
// The fitted figures' 95 % intervals and UNTIL_STEADY's rules, on soaks of known truth.
#include <cstdint>

#include "SoakRows.h"
#include "SoakSteady.h"

namespace
{

// Noise as a sensor gives it, the same on every run: Gaussian (Box–Muller over a 64-bit LCG),
// each reading's carrying ρ of the last's.
class CNoise
{
public:
    CNoise(std::uint64_t qwSeed, double dSigma, double dRho) : m_qw(qwSeed), m_dSigma(dSigma), m_dRho(dRho) {}
    double Next()
    {
        const double u1 = Uniform(), u2 = Uniform();
        const double dWhite = std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2) * m_dSigma;
        m_dLast = m_dRho * m_dLast + std::sqrt(1 - m_dRho * m_dRho) * dWhite;
        return m_dLast;
    }

private:
    double Uniform()
    {
        m_qw = m_qw * 6364136223846793005ULL + 1442695040888963407ULL;
        return (static_cast<double>(m_qw >> 11) + 0.5) / 9007199254740992.0;
    }
    std::uint64_t m_qw;
    double m_dSigma;
    double m_dRho;
    double m_dLast = 0;
};

// A zone's readings, m°C, one a second from the load's start over nSoak samples: the curve
// plus noise, rounded to the sensor's step (m°C).
SSoak Noisy(size_t nSoak, const std::function<double(double)>& fnCurve, CNoise noise, tint64 llStep,
            const std::function<double(double)>& fnKHz = [](double) { return 1800000.0; })
{
    std::vector<double> vdNoise;
    for (size_t i = 0; i < nSoak + 8; ++i)
    {
        vdNoise.push_back(noise.Next());
    }
    return MakeCurves("temp:soc", 8, nSoak, 1, [=](size_t, double t) {
        const double d = fnCurve(t) + 1000 * vdNoise[static_cast<size_t>(std::llround(t)) + 8];
        return static_cast<double>(std::llround(d / static_cast<double>(llStep)) * llStep);
    }, fnKHz);
}

} // namespace

// Each interval holds the truth, and is no wider than the noise and the cut allow: white,
// correlated and quantised noise, a die on a board, a governor's ramp, a slow pole half seen
// (which only the range allowing a slower pole must hold).
TEST(SoakInterval, IntervalsHoldTheTruth)
{
    const auto rise = [](double dTau) { return Rise(35000, 60000, dTau); };
    const struct
    {
        const char* pszName;
        SSoak soak;
        double dSteady;      // the truth, C
        double dTau;         // s, the slow pole's
        double dHalfWidest;  // C: T∞'s interval no wider either side
        bool bSeenOnly;      // the truth is held only allowing a slower pole
    } aRows[] = {
        {"one pole, white, 3 τ", Noisy(181, rise(60), CNoise(1, 0.1, 0), 1), 60, 60, 0.15, false},
        {"one pole, correlated (ρ 0.9), 3 τ", Noisy(181, rise(60), CNoise(2, 0.1, 0.9), 1), 60, 60, 0.6, false},
        {"one pole, whole degrees with 0.3 C of noise, 3 τ", Noisy(181, rise(60), CNoise(3, 0.3, 0), 1000), 60, 60, 1.5, false},
        {"a die of 5 C (3 s) on a board of 20 C (60 s), 2 τ",
         Noisy(121, [](double t) { return Rise(35000, 40000, 3)(t) + Rise(0, 20000, 60)(t); }, CNoise(4, 0.05, 0.3), 1), 60, 60, 0.6, false},
        {"a governor's ramp to the ceiling within the first second, 3 τ",
         Noisy(181, [](double t) {  // the power ramps over r: the response to a ramp, then a step's
             const double r = 0.9, tau = 60;
             return t < r ? 35000 + 25000 * (t - tau * (1 - std::exp(-t / tau))) / r
                          : 60000 - 25000 * tau / r * (std::exp(r / tau) - 1) * std::exp(-t / tau); }, CNoise(5, 0.1, 0), 1,
               [](double t) { return t < 0.9 ? 600000.0 : 1800000.0; }),
         60, 60, 0.3, false},
        {"a slow pole of 5 C (300 s) seen for one τ beside 20 C (20 s)",
         Noisy(301, [](double t) { return Rise(35000, 55000, 20)(t) + Rise(0, 5000, 300)(t); }, CNoise(6, 0.05, 0), 1), 60, 300, 20, true},
    };
    for (const auto& c : aRows)
    {
        SCOPED_TRACE(c.pszName);
        const SSoakAnalysis a = AnalyseSoak(c.soak.asked, c.soak.board, c.soak.run);
        const SZoneFit& z = a.vSensors[0].fit;
        ASSERT_TRUE(z.bFitted) << z.strWhy;
        const SFitIntervals& f = z.intervals;
        EXPECT_TRUE(f.steady.Holds(z.model.dSteady) && f.tau.Holds(z.model.dTau)) << f.steady.dLow << " " << f.steady.dHigh;
        EXPECT_TRUE(f.steadyAnyPole.Holds(c.dSteady)) << f.steadyAnyPole.dLow << " to " << f.steadyAnyPole.dHigh;
        if (!c.bSeenOnly)
        {
            EXPECT_TRUE(f.steady.Holds(c.dSteady)) << f.steady.dLow << " to " << f.steady.dHigh;
            EXPECT_TRUE(f.tau.Holds(c.dTau * 1e6)) << f.tau.dLow / 1e6 << " to " << f.tau.dHigh / 1e6;
            EXPECT_LE(std::max(c.dSteady - f.steady.dLow, f.steady.dHigh - c.dSteady), c.dHalfWidest);
        }
    }
}
