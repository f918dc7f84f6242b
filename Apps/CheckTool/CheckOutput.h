// SPDX-License-Identifier: MIT
// Where the check's lines go: standard output, and the results file the LAVA glue reads.
#pragma once

#include <cstddef>
#include <string>

#include "SoakData.h"
#include "ToolSupervisor.h"

class CCheckOutput
{
public:
    explicit CCheckOutput(CToolSupervisor& tool);
    CCheckOutput(const CCheckOutput&) = delete;
    CCheckOutput& operator=(const CCheckOutput&) = delete;

    // Every result is written to strPath too; "" or why it cannot be.
    std::string OpenResults(const std::string& strPath);

    // A line that cannot be written (a reader gone away, a full disc) ends the tool and the
    // check, as SIGPIPE would have where it was not ignored. A reader that stops reading keeps
    // it waiting, but a stop signal is answered meanwhile.
    void Say(const char* psz, size_t cch);
    void Say(const std::string& str) { Say(str.data(), str.size()); }

    // A case: its line, its data line, and its result line, which as any other ends the
    // check where it cannot be written.
    void Report(const SCase& c);
    bool Failed() const { return m_bFailed; }

    // Nothing more will run: every case the glue waits for fails with the reason.
    [[noreturn]] void FailAll(int iStatus, const std::string& strWhy);

private:
    bool Write(FDHANDLE hFile, const char* psz, size_t cch);
    [[noreturn]] void StopUnwritable(const std::string& strWhat);

    CToolSupervisor& m_tool;
    FDHANDLE m_hOut = -1;  // standard output, or a descriptor of its own on its pipe
    FDHANDLE m_hResults = -1;
    std::string m_strResults;
    bool m_bFailed = false;
};
