// SPDX-License-Identifier: MIT
// A cluster's power at one operating point against how many of its CPUs are busy: one core's
// power, the cluster's shared part, and whether each further CPU adds the same.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct SClusterFit
{
    bool bKnown = false;
    std::string strWhy;
    std::vector<double> vStepUw;   // what the load added with 1, 2, ... CPUs busy
    std::vector<double> vErrorUw;  // each one's error: twice its standard error
    double dCoreUw = 0;            // the slope: what each busy CPU adds
    double dCoreErrorUw = 0;
    double dSharedUw = 0;          // the intercept: the cluster's shared part, beyond rest
    double dSharedErrorUw = 0;
    // The Energy Model's assumption, that each CPU after the first adds the same: each such
    // step against the others' mean, judged where there are two to compare.
    bool bLinearKnown = false;
    std::string strLinearWhy;
    bool bLinear = false;
    size_t nWorst = 0;         // the worst step is from nWorst to nWorst + 1 CPUs busy
    double dWorstUw = 0;       // what it added
    double dOthersUw = 0;      // and what the other steps after the first added, on the mean
    double dWorstErrorUw = 0;  // and the error it is judged against
};

// The line through the steps, each weighted by its error; vStepUw[k - 1] with k CPUs busy.
SClusterFit FitCluster(const std::vector<double>& vStepUw, const std::vector<double>& vErrorUw);
