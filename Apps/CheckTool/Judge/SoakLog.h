// SPDX-License-Identifier: MIT
// A soak's log read back: its board, its trace as samples, and the cases it gave, so that a
// stored soak can be judged again without a tool or a board.
#pragma once

#include <string>
#include <vector>

#include "SoakData.h"

// A case the log gave: its line, its data line, and the lines that came after it before the
// next case (a sweep's figures).
struct SStoredCase
{
    std::string strName;
    std::string strCaseLine;
    std::string strDataLine;
    std::vector<std::string> vAfter;
};

// What a soak's log holds.
struct SStoredSoak
{
    std::string strBoardLine;
    std::string strHeader;
    int nCPU = 0;
    SBoard board;   // its zones and meters, from the trace's header: no trips, no counters
    SSoakRun run;   // the trace's samples; busy and total in tenths of a per cent a row
    std::vector<std::string> vRows;  // the trace's lines, as written
    std::vector<SStoredCase> vCases;
};

// The check's lines in one line of a log: itself, or the message of a LAVA log's line with
// its quoting undone; none where it holds none.
std::vector<std::string> CheckLinesIn(const std::string& strLine);

// The log's lines (without their newlines) as one soak; false with why, naming the line,
// where it is not the whole log of one soak by this check.
bool ReadSoakLog(const std::vector<std::string>& vLines, SStoredSoak* pSoak, std::string* pstrWhy);

// The soak as if it had ended at usUntil (µs after the load's start): its later rows dropped,
// two after the load's start kept at least.
void CutSoak(SStoredSoak* pSoak, tint64 usUntil);

// Exact fixed point: "36.154" with 3 digits is 36154; "" is kMissing; false where it is not a
// decimal of at most nDigits places.
bool ParseFixed(const std::string& str, int nDigits, tint64* pll);

// A stored case as the check judged it: its result, details, measurement and units.
SCase StoredAsCase(const SStoredCase& stored);
