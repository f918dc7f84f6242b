// SPDX-License-Identifier: MIT
// The tool under the check: started in a group of its own, its output pumped, reaped, and
// ended with all it started; the check's signals and its timer, taken at its waits.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "../../Common/Layer2_Platform/Linux_ARM_glibc/PFSystem.h"
#include "SoakData.h"

// A line to standard error, which nothing can be done about where it cannot be written.
void SayError(const std::string& str);

class CToolSupervisor
{
public:
    CToolSupervisor() = default;
    CToolSupervisor(const CToolSupervisor&) = delete;
    CToolSupervisor& operator=(const CToolSupervisor&) = delete;

    // Takes the stop signals (but those ignored on entry) and SIGCHLD synchronously, from a
    // descriptor, and makes the check the reaper of what the tool's children leave behind.
    // False with errno when a descriptor cannot be had.
    bool Open();

    // How long the stop may take: µs, and as the user gave it.
    void SetStopBound(tint64 usBound, const std::string& strBound);

    // Why strTool cannot be started, or "" when it can: found as exec would find it.
    static std::string WhyNotStartable(const std::string& strTool);

    // Starts a tool with its output on pipes, in a process group of its own; "" or why not.
    // Every tool started is supervised, and ended, with the others; each is known by the
    // order it was started in.
    std::string Start(const std::vector<std::string>& vArgv);
    size_t ToolCount() const { return m_vTools.size(); }

    // Waits until the monotonic time qwDueNs, reading the tools' output meanwhile. A stop
    // signal ends the check; SIGCHLD, or the time, only ends the wait. True when it has come.
    bool WaitUntil(tuint64 qwDueNs, bool bAnswerSignals = true);

    // Waits until every tool has written its first line or ended, or until qwBoundNs.
    void WaitForFirstLine(tuint64 qwBoundNs);
    bool HasFirstLine(size_t iTool = 0) const { return m_vTools[iTool].bFirstLine; }
    const std::string& FirstLine(size_t iTool = 0) const { return m_vTools[iTool].strFirstLine; }
    std::string ErrorLine(size_t iTool = 0) const;
    bool Reaped(size_t iTool = 0);

    // The first tool found ended since SIGCHLD last came, or -1.
    int FirstEnded();
    int Status(size_t iTool = 0) const { return m_vTools[iTool].iStatus; }

    // Each worker's allowed CPUs and the CPU it last ran on; none once the tool has ended.
    std::vector<SWorker> ReadWorkers(size_t iTool = 0);

    // Notes every process now below the check: the stop ends, and judges, each that still
    // runs, wherever it has gone since.
    void HoldTree();

    // Stops (SIGSTOP) or continues (SIGCONT) the tools' groups and whatever they started: their
    // load held still, and back; or one tool's group alone. The stop continues them all.
    void HoldStill(bool bStill);
    void HoldStill(bool bStill, size_t iTool);

    // What must be undone however the check ends (a clock pinned for a sweep): done first when
    // the tool is ended, on every path, once; cleared by SetUndo(nullptr).
    void SetUndo(std::function<void()> fnUndo) { m_fnUndo = std::move(fnUndo); }

    // SIGINT to every tool's group and whatever they started, then SIGKILL for what is left
    // past the stop bound: how each went, in the order they were started.
    std::vector<SStop> End(bool bAnswerSignals);

    // A stop signal taken while the tool was being ended in order: the check stops with it.
    void AnswerLateSignal();

    // Ends the tool and the check, as signal nSignal asks.
    [[noreturn]] void StopBySignal(int nSignal);

    // A pending SIGPIPE, where one came: a write failed because the reader went.
    int PendingPipeSignal();

    // The descriptor that turns readable when a signal comes, and the signals taken from it,
    // answered as at a wait: a stop signal ends the tool and the check.
    FDHANDLE SignalHandle() const { return m_hSignal; }
    void AnswerSignals(bool bAnswerSignals = true);

    // "ending the tool it started and stopping", or "stopping" where none runs.
    std::string Ending() const;

private:
    // One tool: its process, its output and how it ended.
    struct STool
    {
        pid_t nPid = 0;
        bool bReaped = false;
        int iStatus = 0;  // its exit status, 128 + N for signal N
        FDHANDLE hOut = -1;
        FDHANDLE hErr = -1;
        std::string strOut;
        tuint64 qwOutBytes = 0;
        tuint64 qwErrBytes = 0;
        std::string strFirstLine;
        bool bFirstLine = false;
        std::string strErrLine;
    };

    void Reap();
    void Pump();
    void PumpPipe(STool& tool, bool bErr);
    void SignalTree(int nSignal, std::vector<pid_t>& vTree);
    void ListTree(std::vector<pid_t>& vTree);
    bool AllReaped() const;

    FDHANDLE m_hSignal = -1;
    FDHANDLE m_hTimer = -1;
    sigset_t m_sigOwn;  // the mask the check was started with, for the tool
    tint64 m_usStopBound = 5000000;
    std::string m_strStopBound = "5";
    std::vector<STool> m_vTools;
    std::vector<pollfd> m_vFds;  // the signals, the timer, and each tool's two pipes
    bool m_bEnding = false;  // the tools are being ended
    bool m_bStill = false;   // the tools are stopped
    std::function<void()> m_fnUndo;
    int m_nLateSignal = 0;   // a stop signal that came meanwhile
    bool m_bChildSignal = true;  // a SIGCHLD was taken since FirstEnded last reaped
    std::vector<std::pair<pid_t, tuint64>> m_vHeld;  // every process seen below, with its start
};
