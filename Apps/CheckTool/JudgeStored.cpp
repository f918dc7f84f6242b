// SPDX-License-Identifier: MIT
// Judges a stored soak again: reads its log, rebuilds what was asked from today's environment,
// and writes the same lines a live run would, carrying the cases its trace cannot give.
#include "JudgeStored.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "NumberText.h"
#include "SoakAnalysis.h"
#include "SoakLines.h"
#include "SoakLog.h"
#include "SoakParams.h"
#include "SoakSteady.h"
#include "SoakVerdicts.h"

namespace
{

// The file's lines, without their newlines; false with why where it cannot be read.
bool ReadLines(const std::string& strPath, std::vector<std::string>* pvLines, std::string* pstrWhy)
{
    const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        *pstrWhy = std::strerror(errno);
        return false;
    }
    std::string strAll;
    char ach[65536];
    for (;;)
    {
        const ssize_t cb = read(fd, ach, sizeof(ach));
        if (cb < 0 && errno == EINTR)
        {
            continue;
        }
        if (cb < 0)
        {
            *pstrWhy = std::strerror(errno);
            close(fd);
            return false;
        }
        if (cb == 0)
        {
            break;
        }
        strAll.append(ach, static_cast<size_t>(cb));
    }
    close(fd);
    size_t p = 0;
    while (p < strAll.size())
    {
        const size_t pEnd = strAll.find('\n', p);
        pvLines->push_back(strAll.substr(p, pEnd == std::string::npos ? std::string::npos : pEnd - p));
        p = pEnd == std::string::npos ? strAll.size() : pEnd + 1;
    }
    return true;
}

// The soak's INTERVAL: the median step between its samples after the load's start, in whole ms.
tint64 IntervalOf(const SSoakTrace& trace)
{
    std::vector<tint64> vllSteps;
    for (size_t i = trace.nBaseline + 1; i < trace.nSamples; ++i)
    {
        vllSteps.push_back(trace.vllTimeUs[i] - trace.vllTimeUs[i - 1]);
    }
    std::nth_element(vllSteps.begin(), vllSteps.begin() + static_cast<std::ptrdiff_t>(vllSteps.size() / 2), vllSteps.end());
    return std::max<tint64>(1000, (vllSteps[vllSteps.size() / 2] + 500) / 1000 * 1000);
}

// UNTIL_STEADY replayed: the soak looked at as a live one would, cut where it would have ended.
void ReplaySteady(const SCheckParams& params, SStoredSoak* pSoak)
{
    SSteadyWatch watch;
    const size_t nRows = pSoak->run.trace.nSamples - pSoak->run.trace.nBaseline;
    size_t nNextLook = 10;
    for (size_t k = 10; k < nRows; ++k)
    {
        if (k < nNextLook)
        {
            continue;
        }
        nNextLook = k + std::max<size_t>(1, k / 20);
        SStoredSoak look = *pSoak;
        const SSoakTrace& trace = pSoak->run.trace;
        CutSoak(&look, trace.vllTimeUs[trace.nBaseline + k] - trace.vllTimeUs[trace.nBaseline]);
        std::string strSteady;
        if (SoakIsSteady(params, look.run.trace, AnalyseSoak(params, look.board, look.run), &watch, &strSteady))
        {
            *pSoak = look;
            pSoak->run.strEnded = "ended at " + ShowFixed(pSoak->run.usPlanned / 1000, 3, 1) + " s, when steady: " + strSteady;
            return;
        }
    }
    pSoak->run.strEnded = "not steady by SETTLE";
}

// Today's parameters for the stored soak: its CPU, INTERVAL and length from the log, the
// limits and the rest from the environment.
bool AskedOf(const SStoredSoak& soak, SCheckParams* pParams, std::string* pstrWhy)
{
    const tint64 usLength = std::max<tint64>(soak.run.usPlanned, 1000);
    if (!ParseParams({std::to_string(soak.nCPU), "1", ShowFixed((usLength + 999) / 1000, 3, 0)}, [](const char* psz) -> const char* { return std::getenv(psz); },
                     pParams, pstrWhy))
    {
        return false;
    }
    pParams->usInterval = IntervalOf(soak.run.trace);
    pParams->nBaseline = soak.run.trace.nBaseline;
    pParams->nSamples = soak.run.trace.nSamples - soak.run.trace.nBaseline - 1;
    return true;
}

// Cases from the tool, counters the trace does not hold, other policies and the sweep: as
// the log gave them.
bool IsCarried(const std::string& strName)
{
    for (const char* psz : {"cpu-busy", "clock-measured-", "cooling-", "energy-"})
    {
        if (strName.rfind(psz, 0) == 0)
        {
            return true;
        }
    }
    return false;
}

void Carry(const SStoredCase& stored, CCheckOutput& out)
{
    out.Report(StoredAsCase(stored));
    for (const std::string& str : stored.vAfter)
    {
        out.Say(str + "\n");
    }
}

// The log's cases in its order, each the judge gives anew replaced by today's, which come in
// their own order; the fit's lines where a live run writes them, after the summaries.
void WriteCases(const SStoredSoak& soak, const SCheckParams& params, CCheckOutput& out)
{
    const SSoakAnalysis analysis = AnalyseSoak(params, soak.board, soak.run);
    std::vector<SCase> vNew = JudgeSoak(params, analysis);
    std::set<std::string> setNew;
    for (SCase& c : vNew)
    {
        for (const SStoredCase& stored : soak.vCases)
        {
            c = stored.strName == c.strName && IsCarried(c.strName) ? StoredAsCase(stored) : c;
        }
        // Carried over the soak as it ran; where the judging ended it sooner, it says so.
        const bool bCutHere = !soak.run.strEnded.empty() && c.strName.rfind("cpu-busy", 0) == 0 && IsCarried(c.strName);
        c.strDetails += bCutHere ? "; judged again: " + soak.run.strEnded : "";
        setNew.insert(c.strName);
    }
    size_t iNext = 0;
    bool bFits = false;
    for (const SStoredCase& stored : soak.vCases)
    {
        if (!bFits && stored.strName.rfind("summary-ret", 0) != 0)
        {
            out.Say(FitLines(analysis));
            bFits = true;
        }
        if (setNew.count(stored.strName) == 0)
        {
            Carry(stored, out);
            continue;
        }
        while (iNext < vNew.size())
        {
            out.Report(vNew[iNext]);
            if (vNew[iNext++].strName == stored.strName)
            {
                break;
            }
        }
    }
    for (; iNext < vNew.size(); ++iNext)
    {
        out.Report(vNew[iNext]);
    }
}

int Refuse(const std::string& strWhy)
{
    const std::string str = "hogspin-check: cannot judge: " + strWhy + "\n";
    (void)!write(STDERR_FILENO, str.data(), str.size());
    return 2;
}

} // namespace

int JudgeStoredSoak(const std::vector<std::string>& vArgs, CCheckOutput& out, const std::string& strResults)
{
    tint64 usUntil = -1;
    const bool bUntil = vArgs.size() == 3 && vArgs[1] == "--until";
    if (vArgs.size() != 1 && !bUntil)
    {
        return Refuse("usage: hogspin-check --judge LOG [--until SECONDS]");
    }
    if (bUntil && (!ParseFixed(vArgs[2], 6, &usUntil) || usUntil < 0))
    {
        return Refuse("--until must be seconds from the load's start, 0 or more, not '" + Printable(vArgs[2], 40) + "'");
    }
    std::vector<std::string> vLines;
    std::string strWhy;
    if (!ReadLines(vArgs[0], &vLines, &strWhy))
    {
        return Refuse("cannot read '" + Printable(vArgs[0], 200) + "': " + strWhy);
    }
    SStoredSoak soak;
    if (!ReadSoakLog(vLines, &soak, &strWhy))
    {
        return Refuse("'" + Printable(vArgs[0], 200) + "': " + strWhy);
    }
    const SSoakTrace& trace = soak.run.trace;
    if (bUntil && usUntil < trace.vllTimeUs[trace.nBaseline + 1] - trace.vllTimeUs[trace.nBaseline])
    {
        return Refuse("--until " + vArgs[2] + " s leaves fewer than two samples after the load's start");
    }
    if (bUntil && usUntil > soak.run.usPlanned)
    {
        return Refuse("--until " + vArgs[2] + " s is past the soak's end, at " + ShowFixed(soak.run.usPlanned, 6, 1) + " s");
    }
    if (bUntil)
    {
        CutSoak(&soak, usUntil);
        soak.run.strEnded = "ended at " + ShowFixed(soak.run.usPlanned, 6, 1) + " s (--until)";
    }
    SCheckParams params;
    if (!AskedOf(soak, &params, &strWhy))
    {
        return Refuse(strWhy);
    }
    if (params.bUntilSteady)
    {
        ReplaySteady(params, &soak);
    }
    struct stat stLog, stResults;
    if (!strResults.empty() && stat(vArgs[0].c_str(), &stLog) == 0 && stat(strResults.c_str(), &stResults) == 0 &&
        stLog.st_dev == stResults.st_dev && stLog.st_ino == stResults.st_ino)
    {
        return Refuse("the results file '" + Printable(strResults, 200) + "' is the log judged");
    }
    const std::string strWhyResults = strResults.empty() ? "" : out.OpenResults(strResults);
    if (!strWhyResults.empty())
    {
        return Refuse("cannot write the results to '" + Printable(strResults, 200) + "': " + strWhyResults);
    }
    // judged= says the soak is not tonight's: a LAVA job that judges it again logs it at its own time.
    timespec now{};
    const std::string strJudged = clock_gettime(CLOCK_REALTIME, &now) == 0 ? UtcStamp(now.tv_sec) : "";
    out.Say(soak.strBoardLine + ",judged=" + strJudged + "\n" + soak.strHeader + "\n" + LimitsLine(params.limits) +
            SensorsLine(soak.board.vSensors));
    for (const std::string& strRow : soak.vRows)
    {
        out.Say(strRow + "\n");
    }
    WriteCases(soak, params, out);
    return out.Failed() ? 1 : 0;
}
