// SPDX-License-Identifier: MIT
// Fits a cluster's power against its busy CPUs and judges the Energy Model's assumption.
#include "ClusterFit.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "NumberText.h"

SClusterFit FitCluster(const std::vector<double>& vStepUw, const std::vector<double>& vErrorUw)
{
    SClusterFit f;
    f.vStepUw = vStepUw;
    f.vErrorUw = vErrorUw;
    const size_t n = std::min(vStepUw.size(), vErrorUw.size());
    if (n < 2)
    {
        f.strWhy = "one of the policy's CPUs was listed: its core and the cluster's shared part cannot be told apart";
        return f;
    }
    // Weighted least squares, each step by its variance; a step measured exactly is weighted
    // as one of a microwatt, so that no weight is infinite.
    double dW = 0, dWx = 0, dWy = 0, dWxx = 0, dWxy = 0;
    for (size_t i = 0; i < n; ++i)
    {
        const double dSigma = std::max(1.0, vErrorUw[i] / 2);
        const double dWeight = 1 / (dSigma * dSigma);
        const double dX = static_cast<double>(i + 1);
        dW += dWeight;
        dWx += dWeight * dX;
        dWy += dWeight * vStepUw[i];
        dWxx += dWeight * dX * dX;
        dWxy += dWeight * dX * vStepUw[i];
    }
    const double dDet = dW * dWxx - dWx * dWx;
    f.dCoreUw = (dW * dWxy - dWx * dWy) / dDet;
    f.dSharedUw = (dWxx * dWy - dWx * dWxy) / dDet;
    f.dCoreErrorUw = 2 * std::sqrt(dW / dDet);
    f.dSharedErrorUw = 2 * std::sqrt(dWxx / dDet);
    f.bKnown = true;
    if (n < 3)
    {
        f.strLinearWhy = "two of the policy's CPUs were listed: one step after the first, and nothing to compare it with; three tell";
        return f;
    }
    // Each step after the first against the mean of the others (not a slope fitted to it too,
    // which would halve the difference), within three standard errors of the two, and never
    // closer than 3 % of a core's power: what a meter's gain error and the leakage's line leave
    // even without noise.
    f.bLinearKnown = true;
    f.bLinear = true;
    double dWorstRatio = -1;
    std::vector<double> vAdded, vVar;  // each step after the first, and its variance (σ²)
    for (size_t i = 1; i < n; ++i)
    {
        vAdded.push_back(vStepUw[i] - vStepUw[i - 1]);
        vVar.push_back((vErrorUw[i] * vErrorUw[i] + vErrorUw[i - 1] * vErrorUw[i - 1]) / 4);
    }
    const double dOthers = static_cast<double>(vAdded.size() - 1);
    for (size_t i = 0; i < vAdded.size(); ++i)
    {
        double dMean = 0, dVarMean = 0;
        for (size_t j = 0; j < vAdded.size(); ++j)
        {
            dMean += j == i ? 0 : vAdded[j] / dOthers;
            dVarMean += j == i ? 0 : vVar[j] / (dOthers * dOthers);
        }
        const double dError = std::max(3 * std::sqrt(vVar[i] + dVarMean), 0.03 * std::fabs(dMean));
        const double dRatio = std::fabs(vAdded[i] - dMean) / std::max(1.0, dError);
        if (dRatio > dWorstRatio)
        {
            dWorstRatio = dRatio;
            f.nWorst = i + 1;
            f.dWorstUw = vAdded[i];
            f.dOthersUw = dMean;
            f.dWorstErrorUw = dError;
        }
        f.bLinear = f.bLinear && std::fabs(vAdded[i] - dMean) <= std::max(1.0, dError);
    }
    return f;
}
