// SPDX-License-Identifier: MIT
// Numbers as the check writes them: exact fixed point, decimals, seconds, and the tool's text made safe.
#pragma once

#include <cstddef>
#include <string>

#include "SoakData.h"

// 10^nDigits, for nDigits up to 18.
tint64 Pow10(int nDigits);

// v / 10^nDigits with nDigits decimals, trailing zeros dropped down to nPlaces: (85040, 3, 1)
// is 85.04, (1200000, 3, 0) 1200, (2500000, 6, 1) 2.5.
std::string ShowFixed(tint64 llValue, int nDigits, int nPlaces);

// ShowFixed into sz, without a string: the soak writes one trace line a sample. Its length, 0
// where it did not fit.
int FormatFixed(char* sz, size_t cb, tint64 llValue, int nDigits, int nPlaces);

// d with nDecimals decimals, never a negative zero.
std::string Printed(int nDecimals, double d);

// A time in µs as seconds: "1.25 s"; and to three figures or so, without the unit: 0.85, 12.3, 123.
std::string Seconds(tint64 us);
std::string ShowSeconds(double dUs);

// "1800 MHz" for 1800000 kHz.
std::string ShowMHz(tint64 llKHz);

// Text the tool wrote, safe in a case line: control characters as '?', at most nMax bytes.
std::string Printable(const std::string& str, size_t nMax = 200);
