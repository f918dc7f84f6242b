// SPDX-License-Identifier: MIT
// Writes the check's lines and results; a line that cannot be written stops the check.
#include "CheckOutput.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "CaseCatalogue.h"
#include "SoakLines.h"

namespace
{

// The cases every run gives, which the LAVA glue waits for.
const ECase kEveryCase[] = {ECase::SummaryRet, ECase::WorkersPinned, ECase::CpuBusy, ECase::StopSigint};

} // namespace

CCheckOutput::CCheckOutput(CToolSupervisor& tool) : m_tool(tool)
{
    // On a pipe, its own descriptor writes as much as a blocking write would before it waits.
    m_hOut = CPFSystem::ReOpenFile(STDOUT_FILENO);
    m_hOut = m_hOut >= 0 ? m_hOut : STDOUT_FILENO;
}

std::string CCheckOutput::OpenResults(const std::string& strPath)
{
    // Never blocking: a FIFO no one reads fails at once (ENXIO) rather than wait in open, deaf
    // to signals. The description is the check's own, so its writes wait in poll instead.
    m_hResults = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    m_strResults = strPath;
    return m_hResults >= 0 ? "" : errno == ENXIO ? "a FIFO that no one reads" : std::strerror(errno);
}

// Waits for room while the signals are answered: a stop signal ends the tool and the check.
bool CCheckOutput::Write(FDHANDLE hFile, const char* psz, size_t cch)
{
    for (;;)
    {
        size_t cchDone = 0;
        const int iDone = CPFSystem::WriteFileEx(hFile, psz, cch, m_tool.SignalHandle(), &cchDone);
        if (iDone != 0)
        {
            return iDone > 0;
        }
        psz += cchDone;
        cch -= cchDone;
        m_tool.AnswerSignals();
    }
}

void CCheckOutput::StopUnwritable(const std::string& strWhat)
{
    if (m_tool.PendingPipeSignal() != 0)
    {
        m_tool.StopBySignal(SIGPIPE);
    }
    SayError("hogspin-check: cannot write " + strWhat + ": " + m_tool.Ending() + "\n");
    (void)m_tool.End(false);
    std::exit(1);
}

void CCheckOutput::Say(const char* psz, size_t cch)
{
    if (!Write(m_hOut, psz, cch))
    {
        StopUnwritable("its output");
    }
}

void CCheckOutput::Report(const SCase& c)
{
    Say(CaseLine(c) + DataLine(c));
    const std::string str = ResultLine(c);
    if (m_hResults >= 0 && !Write(m_hResults, str.data(), str.size()))
    {
        StopUnwritable("its results to '" + m_strResults + "' (" + std::strerror(errno) + ")");
    }
    m_bFailed = m_bFailed || c.eResult == EResult::Fail;
}

void CCheckOutput::FailAll(int iStatus, const std::string& strWhy)
{
    for (const ECase eCase : kEveryCase)
    {
        Report(Verdict(eCase, "", false, strWhy));
    }
    SayError("hogspin-check: " + strWhy + "\n");
    (void)m_tool.End(false);
    std::exit(iStatus);
}
