// SPDX-License-Identifier: MIT
// A zone's thermal model: one pole or two fitted to its rise, the choice between them, and
// how far T∞ can be trusted.
#pragma once

#include <string>
#include <vector>

#include "SoakAnalysis.h"

// The model of zone k's readings over rows (the soak's, before anything bent the rise), which
// rose from llRiseFrom (m°C); strBent says what bent it, "" where nothing did.
SZoneFit FitZone(const SSoakTrace& trace, size_t k, SRows rows, double dInterval, tint64 llRiseFrom, const std::string& strBent);

// The least-squares line through the readings (µs, C) from dFrom on: its slope, and the
// slope's standard error from the line's own scatter; bKnown false with fewer than four.
SSlope SlopeFrom(const std::vector<double>& vdT, const std::vector<double>& vdY, double dFrom);

// The least-squares slope of zone k's readings over the last third of rows, every one of them,
// the span from the load's start to the last, and the sensor's step (C) between readings.
SSlope TailSlope(const SSoakTrace& trace, size_t k, SRows rows, double* pdSpan, double* pdStep);
