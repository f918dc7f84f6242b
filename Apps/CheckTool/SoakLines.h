// SPDX-License-Identifier: MIT
// The check's lines: exact fixed-point figures, the board, the trace, the limits, each zone's
// fit, and each case as a person, the LAVA glue and the farm report read it.
#pragma once

#include <cstddef>
#include <string>

#include "SoakData.h"

struct SSoakAnalysis;

// 10^nDigits, for nDigits up to 18.
tint64 Pow10(int nDigits);

// v / 10^nDigits with nDigits decimals, trailing zeros dropped down to nPlaces: (85040, 3, 1)
// is 85.04, (1200000, 3, 0) 1200, (2500000, 6, 1) 2.5.
std::string ShowFixed(tint64 llValue, int nDigits, int nPlaces);

// d with nDecimals decimals, never a negative zero.
std::string Printed(int nDecimals, double d);

// A time in µs as seconds: "1.25 s"; and to three figures or so, without the unit: 0.85, 12.3, 123.
std::string Seconds(tint64 us);
std::string ShowSeconds(double dUs);

// Text the tool wrote, safe in a case line: control characters as '?', at most nMax bytes.
std::string Printable(const std::string& str, size_t nMax = 200);

// "hogspin-check: NAME: RESULT (DETAILS)\n", the line a user reads.
std::string CaseLine(const SCase& c);
// "NAME RESULT[ MEASUREMENT UNITS]\n", the line the LAVA glue reads.
std::string ResultLine(const SCase& c);
// "hogspin-case,NAME,RESULT,MEASUREMENT,UNITS\n", the line the farm report and the plot read:
// the figure as the case line shows it, "never" for a throttle that never came, or nothing.
std::string DataLine(const SCase& c);

// "hogspin-board,model=M,kernel=K,host=H,board=B": which board a log comes from. A value keeps
// printable ASCII but ',' and '%'; those and every other byte are written %XX.
std::string BoardLine(const std::string& strModel, const std::string& strKernel, const std::string& strHost,
                      const std::string& strBoard);

// "hogspin-trace,t_s,cpuK_busy_pct,cpuK_mhz,ZONE_c...,METER_w..." and "hogspin-limits,...".
std::string TraceHeader(const SSoakSetup& setup);
std::string LimitsLine(const SSoakSetup& setup);

// Sample iSample as a trace line, newline included, into pBuf; its length, 0 if it did not fit.
size_t FormatTraceLine(const SSoakSetup& setup, const SSoakTrace& trace, size_t iSample, char* pBuf, size_t cb);

// "hogspin-fit,ZONE,t0_c=..,tinf_c=..,tau_s=..[,tau_fast_s=..,fast_share=..]" for each zone
// fitted; "hogspin-dt,ZONE,sustainable-power=MW" for each zone whose sustainable power is
// known, as a device tree takes it.
std::string FitLines(const SSoakSetup& setup, const SSoakAnalysis& analysis);
