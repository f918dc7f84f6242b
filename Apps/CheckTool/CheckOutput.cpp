// SPDX-License-Identifier: MIT
// Writes the check's lines and results; a line that cannot be written stops the check.
#include "CheckOutput.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "SoakLines.h"

namespace
{

const char* const kEveryCase[] = {"summary-ret", "workers-pinned", "cpu-busy", "stop-sigint"};

void SayError(const std::string& str)
{
    // Nothing more can be done about a standard error that cannot be written.
    (void)CPFSystem::WriteFile(STDERR_FILENO, str.data(), str.size());
}

} // namespace

std::string CCheckOutput::OpenResults(const std::string& strPath)
{
    m_hResults = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    return m_hResults >= 0 ? "" : std::strerror(errno);
}

void CCheckOutput::StopUnwritable()
{
    if (m_tool.PendingPipeSignal() != 0)
    {
        m_tool.StopBySignal(SIGPIPE);
    }
    SayError("hogspin-check: cannot write its output: " + m_tool.Ending() + "\n");
    (void)m_tool.End(false);
    std::exit(1);
}

void CCheckOutput::Say(const char* psz, size_t cch)
{
    if (!CPFSystem::WriteFile(STDOUT_FILENO, psz, cch))
    {
        StopUnwritable();
    }
}

void CCheckOutput::Report(const SCase& c)
{
    Say(CaseLine(c) + DataLine(c));
    if (m_hResults >= 0)
    {
        const std::string str = ResultLine(c);
        (void)CPFSystem::WriteFile(m_hResults, str.data(), str.size());
    }
    m_bFailed = m_bFailed || c.eResult == EResult::Fail;
}

void CCheckOutput::FailAll(int iStatus, const std::string& strWhy)
{
    for (const char* pszCase : kEveryCase)
    {
        Report(SCase{pszCase, EResult::Fail, strWhy, "", ""});
    }
    SayError("hogspin-check: " + strWhy + "\n");
    (void)m_tool.End(false);
    std::exit(iStatus);
}
