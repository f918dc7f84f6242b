// SPDX-License-Identifier: MIT
// The check's lines: the board, the trace, the limits, each zone's fit, and each case as a
// person, the LAVA glue and the farm report read it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "SoakData.h"

struct SSoakAnalysis;

// "hogspin-check: NAME: RESULT (DETAILS)\n", the line a user reads.
std::string CaseLine(const SCase& c);
// "NAME RESULT[ MEASUREMENT UNITS]\n", the line the LAVA glue reads.
std::string ResultLine(const SCase& c);
// "hogspin-case,NAME,RESULT,MEASUREMENT,UNITS\n", the line the farm report and the plot read:
// the figure as the case line shows it, "never" for a throttle that never came, or nothing.
// Where the figure has an interval, "hogspin-interval,NAME,LOW,HIGH,95\n" after it.
std::string DataLine(const SCase& c);

// Who ran which soak, and when: the hogspin-board line's fields.
struct SBoardId
{
    std::string strModel;
    std::string strKernel;  // uname's release
    std::string strHost;
    std::string strBoard;   // BOARD
    std::string strStarted; // UtcStamp of the soak's start, empty where the clock could not be read
    std::string strCheck;   // the check's version
};

// "hogspin-board,model=M,kernel=K,host=H,board=B,started=S,check=V": which board a log comes
// from, from when and from which check. A value keeps printable ASCII but ',' and '%'; those
// and every other byte are written %XX.
std::string BoardLine(const SBoardId& id);
// Seconds since the epoch as "YYYY-MM-DDTHH:MM:SSZ" (UTC); empty for a time gmtime cannot give.
std::string UtcStamp(long long llSeconds);

// "hogspin-trace,t_s,cpuK_busy_pct,cpuK_mhz,ZONE_c...,METER_w..." and "hogspin-limits,...".
std::string TraceHeader(int nCPU, const std::vector<SSensor>& vSensors);
std::string LimitsLine(const SLimits& limits);
// "hogspin-sensors,COLUMN=PATH[;TRIP_C...],...", COLUMN as in the trace's header (NAME_c, NAME_w):
// each zone's and meter's path under the sysfs
// root (',', ';', '=', '%' and bytes outside printable ASCII as %XX) and a zone's passive trip
// points, that a stored soak be judged as the live one was.
std::string SensorsLine(const std::vector<SSensor>& vSensors);

// Sample iSample as a trace line, newline included, into pBuf; its length, 0 if it did not fit.
size_t FormatTraceLine(const std::vector<SSensor>& vSensors, const SSoakTrace& trace, size_t iSample, char* pBuf, size_t cb);

// "hogspin-fit,ZONE,t0_c=..,tinf_c=..,tau_s=..[,tau_fast_s=..,fast_share=..]" for each zone
// fitted; "hogspin-dt,ZONE,sustainable-power=MW" for each zone whose sustainable power is
// known, as a device tree takes it.
std::string FitLines(const SSoakAnalysis& analysis);
