// SPDX-License-Identifier: MIT
// End-to-end tests of hogspin-check through its LAVA glue, on stand-in boards, and of the soak's plot.
#include "ToolRun.h"

#include <iomanip>

namespace
{

// One run of the farm's check through its LAVA glue.
struct SCheckRow
{
    const char* pszTool;
    // NAME=VALUE words for the check; {SYS}: the stand-in /sys; {LAVA}: with lava-test-case;
    // {BURN}: CPU K kept busy by a process of its own meanwhile; {STALL}: its reader stops
    // reading a pipe of one page before the signal; {RESULTS=FILE}: the check itself, not
    // its glue, with --results FILE (under the test's directory unless absolute);
    // {CPUS=LIST}: LIST loaded rather than CPU K
    const char* pszEnv;
    const char* pszSettle;
    int nSignal;  // sent once the summary line was judged; SIGPIPE: its reader goes away; 0: none
    int nStatus;
    const char* pszSays;  // {DIR}: the test's directory
    const char* pszHas = nullptr;  // a line its output must hold; none: every case failed, saying why
    bool bIgnorePipe = false;
    const char* pszCalls = nullptr;  // what lava-test-case was called with, sorted
    // "case=figure±tolerance ...": {HEATS} figures, as a real board's vary; a tolerance in s is
    // a time's, widened or not judged as the row's timing jitter asks
    const char* pszNear = nullptr;
    const char* pszHeats = "--zone soc:25:10:0.5";  // the {HEATS} stand-in board's own arguments
    // "FILE=VALUE ...", under the test's directory: each must read VALUE once the check has
    // ended; a signal waits until the first reads otherwise (the check has written it).
    const char* pszReadBack = nullptr;
};

// A CPU that draws 530 µW/MHz/V² at four operating points and leaks twice as much every 25 K,
// on a die of 3 K/W and τ 1.5 s and a board of 7 K/W and τ 60 s; and its policy as it was.
const char kOppBoard[] = "--zone soc:25:3:1.5:7:60 --idle 0.4 --coefficient 530 "
                         "--opp 600000:800000,1000000:900000,1400000:1000000,1800000:1100000";
const char kOppPolicy[] = "heats/devices/system/cpu/cpu{K}/cpufreq/scaling_max_freq=1800000 "
                          "heats/devices/system/cpu/cpu{K}/cpufreq/scaling_min_freq=600000";
// Every CPU it may use in one cluster of cores of 100 µW/MHz/V² and a shared part of 60, on the
// same die and board; and its policy as it was.
const char kClusterBoard[] = "--zone soc:25:3:1.5:7:60 --idle 0.4 "
                             "--policy {ALL}:100:60:600000:800000,1000000:900000,1400000:1000000,1800000:1100000";
const char kClusterPolicy[] = "heats/devices/system/cpu/cpu{J}/cpufreq/scaling_max_freq=1800000 "
                              "heats/devices/system/cpu/cpu{J}/cpufreq/scaling_min_freq=600000";

// The board farm's check through its LAVA glue, with nothing in its PATH but the shell,
// mktemp and rm, in a directory of its own: a stand-in /sys with a zone at 95 C and one whose
// temperature gives EIO; lava/ a lava-test-case that records "case:result:measurement:units";
// {IDLE}, a tool that says what hogspin says, with a worker pinned to CPU K that only sleeps
// and a child that spins wherever it is let; {STRAY}, hogspin behind a wrapper that leaves
// hogspin-stray running, its PID in stray.pid; {SLOW}, hogspin late, behind a wrapper that
// first starts a helper of 2000 sleeping threads, which the check walks at the soak's start.
class HogspinCheck : public ::testing::Test
{
protected:
    void SetUp() override;
    void Run(const SCheckRow& c);

private:
    void StartCheck(const SCheckRow& c, CToolRun& check);
    void JudgeOutput(const SCheckRow& c, const CToolRun& check);
    double TimingJitter(const SCheckRow& c, const CToolRun& check, std::string* pstrWhat) const;
    void JudgeCalls(const SCheckRow& c);
    std::string ReadBack(const std::string& strFileValue) const;
    void StartBoard(const SCheckRow& c, CToolRun& writer);
    void Interrupt(const SCheckRow& c, CToolRun& check, std::vector<pid_t>& vTools);

    CTempDir m_dir;
    std::string m_strPath;
};

void HogspinCheck::SetUp()
{
    if (*kEmulator != '\0')
    {
        GTEST_SKIP() << "the check starts the tool as one command, without the emulator";
    }
    ASSERT_FALSE(m_dir.Path().empty());
    m_strPath = m_dir.Path();
    const std::string& strPath = m_strPath;
    const std::string strSys = strPath + "/sys/class/thermal/thermal_zone";
    const std::string strSetUp = "cd " + strPath + " && for t in sh mktemp rm; do ln -s \"$(command -v $t)\" $t || exit 1; done" +
                                 " && mkdir -p lava " + strSys + "0 " + strSys + "1 && echo soc >" + strSys +
                                 "0/type && echo 95000 >" + strSys + "0/temp && echo wifi >" + strSys +
                                 "1/type && ln -s /proc/self/mem " + strSys + "1/temp && printf '%s\\n' '#!/bin/sh' " +
                                 "'echo \"$1:$3:$5:$7\" >>" + strPath + "/calls' >lava/lava-test-case && chmod +x lava/lava-test-case";
    ASSERT_EQ(system(strSetUp.c_str()), 0);
    // The idle tool's interpreter by its own path: the check gives the tool no PATH to find one in.
    char szPython[4096] = "";
    FILE* pPython = popen("'" HOGSPIN_PYTHON "' -c 'import sys; print(sys.executable)'", "r");
    ASSERT_NE(pPython, nullptr);
    const bool bRead = fgets(szPython, sizeof(szPython), pPython) != nullptr;
    ASSERT_EQ(pclose(pPython), 0);
    ASSERT_TRUE(bRead);
    const std::string strPython(szPython, strcspn(szPython, "\n"));
    ASSERT_FALSE(strPython.empty());
    {
        std::ofstream idle(strPath + "/idle-tool");
        idle << "#!" << strPython << "\nimport os, signal, subprocess, sys, threading\n"
                "k, pinned, stop = int(sys.argv[1]), threading.Event(), threading.Event()\n"
                "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})\n"
                "def worker():\n    os.sched_setaffinity(0, {k})\n    pinned.set()\n    stop.wait()\n"
                "threading.Thread(target=worker).start()\npinned.wait()\n"
                "subprocess.Popen(['sh', '-c', 'while :; do :; done'])\n"
                "print(f'hogspin {k}, count=1, ret=1', flush=True)\nsignal.sigwait({signal.SIGINT})\n"
                "stop.set()\nprint(f'hogspin {k}, Exit!', flush=True)\n";
    }
    ASSERT_EQ(chmod((strPath + "/idle-tool").c_str(), 0755), 0);
    {
        std::ofstream stray(strPath + "/stray-tool");
        stray << "#!/bin/sh\n'" HOGSPIN_STRAY_EXE "' '" << strPath << "/ready' &\nread -r pid <'" << strPath << "/ready' && echo \"$pid\" >'"
              << strPath << "/stray.pid'\nexec '" HOGSPIN_EXE "' \"$@\"\n";
    }
    ASSERT_EQ(chmod((strPath + "/stray-tool").c_str(), 0755), 0);
    {
        std::ofstream slow(strPath + "/slow-tool");
        slow << "#!/bin/sh\n'" << strPython << "' -c 'import signal, sys, threading\nsignal.signal(signal.SIGINT, signal.SIG_DFL)\n"
                "signal.alarm(30)\nthreading.stack_size(1 << 18)\nfor _ in range(2000):\n"
                "    threading.Thread(target=threading.Event().wait, daemon=True).start()\n"
                "with open(sys.argv[1], \"w\") as ready:\n    ready.write(\"ready\\n\")\nsignal.pause()' '"
             << strPath << "/ready' &\nread -r _ <'" << strPath << "/ready'\nexec '" HOGSPIN_EXE "' \"$@\"\n";
    }
    ASSERT_EQ(chmod((strPath + "/slow-tool").c_str(), 0755), 0);
    {
        // hogspin, but on CPU K it is killed a moment into the soak, as a tool that crashes.
        std::ofstream dying(strPath + "/dying-tool");
        dying << "#!/bin/sh\n[ \"$1\" != " << Expand("{K}") << " ] || { '" << strPython
              << "' -c 'import time; time.sleep(0.5)'; kill -KILL $$; } &\nexec '" HOGSPIN_EXE "' \"$@\"\n";
    }
    ASSERT_EQ(chmod((strPath + "/dying-tool").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((strPath + "/ready").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((strPath + "/fifo").c_str(), 0600), 0);  // no one reads it
}

// The CPU argument: the row's {CPUS=LIST}, else CPU K.
std::string CpusOf(const SCheckRow& c)
{
    const std::string strEnv = c.pszEnv;
    const size_t n = strEnv.find("{CPUS=");
    return n == std::string::npos ? Expand("{K}") : Expand(strEnv.substr(n + 6, strEnv.find('}', n) - n - 6));
}

// Starts the glue with nothing of this process's environment: a STOP_BOUND or HOGSPIN_SYSFS
// set here must not change the check.
void HogspinCheck::StartCheck(const SCheckRow& c, CToolRun& check)
{
    const std::string& strPath = m_strPath;
    std::string strEnv = c.pszEnv;
    const bool bLava = strEnv.find("{LAVA}") != std::string::npos;
    std::vector<std::string> vArgv = {"env", "-i", "PATH=" + strPath + (bLava ? ":" + strPath + "/lava" : "")};
    if (strEnv.find("HOGSPIN_CHECK=") == std::string::npos)
    {
        vArgv.push_back("HOGSPIN_CHECK=" HOGSPIN_CHECK_EXE);
    }
    std::istringstream env(strEnv);
    std::string strResults;
    for (std::string strWord; env >> strWord;)
    {
        if (strWord.rfind("{CPUS=", 0) == 0)
        {
            continue;
        }
        if (strWord.rfind("{RESULTS=", 0) == 0)
        {
            strResults = strWord.substr(strlen("{RESULTS="), strWord.size() - strlen("{RESULTS=}"));
            strResults = strResults[0] == '/' ? strResults : strPath + "/" + strResults;
            continue;
        }
        for (const auto& subst : {std::make_pair("{SYS}", "/sys"), std::make_pair("{HEATS}", "/heats")})
        {
            const size_t n = strWord.find(subst.first);
            strWord = n == std::string::npos ? strWord : strWord.replace(n, strlen(subst.first), strPath + subst.second);
        }
        if (strWord != "{LAVA}" && strWord != "{BURN}" && strWord != "{STALL}")
        {
            vArgv.push_back(strWord);
        }
    }
    const std::string strTool = std::string(c.pszTool) == "{IDLE}"    ? strPath + "/idle-tool"
                                : std::string(c.pszTool) == "{STRAY}" ? strPath + "/stray-tool"
                                : std::string(c.pszTool) == "{SLOW}"  ? strPath + "/slow-tool"
                                : std::string(c.pszTool) == "{DIES}"  ? strPath + "/dying-tool"
                                                                      : c.pszTool;
    if (strResults.empty())
    {
        vArgv.insert(vArgv.end(), {"sh", HOGSPIN_CHECK_SCRIPT});
    }
    else
    {
        vArgv.insert(vArgv.end(), {HOGSPIN_CHECK_EXE, "--results", strResults});
    }
    vArgv.insert(vArgv.end(), {CpusOf(c), "1", c.pszSettle, strTool});
    SChildSetup setup;
    setup.bIgnorePipe = c.bIgnorePipe;
    setup.bSmallPipe = strEnv.find("{STALL}") != std::string::npos;
    check.StartCommand(vArgv, setup);
}

// Its status, its standard error, and a line it must hold; or, where it could not check,
// every case failed, saying why (the check's own lines each with its data line, the glue's
// without).
void HogspinCheck::JudgeOutput(const SCheckRow& c, const CToolRun& check)
{
    std::string strSays = Expand(c.pszSays);
    for (size_t n = strSays.find("{DIR}"); n != std::string::npos; n = strSays.find("{DIR}"))
    {
        strSays.replace(n, strlen("{DIR}"), m_strPath);
    }
    EXPECT_EQ(check.Err(), strSays);
    if (c.pszHas != nullptr)
    {
        EXPECT_NE(check.Out().find(Expand(c.pszHas)), std::string::npos) << check.Out();
        // Where it stopped, saying why, the status is that of the stop.
        EXPECT_TRUE(!strSays.empty() || (c.nStatus == 0) == (check.Out().find(": fail (") == std::string::npos)) << check.Out();
    }
    else if (c.nSignal == 0)
    {
        const std::string strWhy = strSays.substr(15, strSays.size() - 16);
        const bool bGlue = strWhy.rfind("cannot find hogspin-check", 0) == 0 || strWhy.rfind("cannot make a temporary file", 0) == 0;
        std::string strFailed;
        for (const char* pszCase : {"summary-ret", "workers-pinned", "cpu-busy", "stop-sigint"})
        {
            strFailed += std::string("hogspin-check: ") + pszCase + ": fail (" + strWhy + ")\n" +
                         (bGlue ? "" : std::string("hogspin-case,") + pszCase + ",fail,,\n");
        }
        // What came before the tool was started: the board and the trace's header and limits.
        EXPECT_EQ(check.Out().substr(check.Out().find("hogspin-check: ")), strFailed);
    }
    std::istringstream near(Expand(c.pszNear != nullptr ? c.pszNear : ""));
    for (std::string strNear; near >> strNear;)
    {
        const std::string strCase = strNear.substr(0, strNear.find('='));
        const size_t nFigure = check.Out().find("hogspin-case," + strCase + ",pass,");
        // The CPU may have been busy with this machine's other work in the baseline: the
        // check must then say so rather than give an idle figure.
        if (nFigure == std::string::npos &&
            check.Out().find("hogspin-check: " + strCase + ": skip (the baseline was not at rest") != std::string::npos)
        {
            std::cout << strCase << ": not judged here: the machine's CPU " << Expand("{K}") << " was busy in the baseline\n";
            continue;
        }
        const std::string strWant = strNear.substr(strNear.find('=') + 1);
        const double dWant = std::stod(strWant);
        double dTolerance = std::stod(strWant.substr(strWant.find("±") + strlen("±")));
        if (strWant.back() == 's')
        {
            // A time constant of a few samples moves with their timing: four times the jitter
            // covers what busy machines have shown.
            std::string strJitter;
            const double dJitter = TimingJitter(c, check, &strJitter);
            std::ostringstream says;
            says << std::setprecision(3) << strCase << ": " << dWant << " s ";
            if (4 * dJitter >= dWant)
            {
                says << "not judged here: " << strJitter << ", too coarse for it";
            }
            else
            {
                says << "judged to ±" << std::max(dTolerance, 4 * dJitter) << " s" << (4 * dJitter > dTolerance ? ", widened, " : ": ") << strJitter;
            }
            std::cout << says.str() << "\n";
            RecordProperty(strCase, says.str());
            if (4 * dJitter >= dWant)
            {
                continue;
            }
            dTolerance = std::max(dTolerance, 4 * dJitter);
        }
        ASSERT_NE(nFigure, std::string::npos) << strCase << " did not pass:\n" << check.Out();
        const double dGot = std::stod(check.Out().substr(nFigure + strlen("hogspin-case,") + strCase.size() + strlen(",pass,")));
        EXPECT_NEAR(dGot, dWant, dTolerance) << strCase;
    }
}

// The row's timing jitter in s, and what it is: how late the check's soak samples came at most,
// by when their lines arrived here (one is due every INTERVAL from the first, and the least
// late sets the schedule; this process's own delays count too), or how much further behind
// the stand-in board fell under the load than a step of its own, if more.
double HogspinCheck::TimingJitter(const SCheckRow& c, const CToolRun& check, std::string* pstrWhat) const
{
    const std::string strEnv = c.pszEnv;
    const size_t nInterval = strEnv.find("INTERVAL=");
    const double dInterval = nInterval != std::string::npos ? std::stod(strEnv.substr(nInterval + strlen("INTERVAL="))) : 1;
    std::istringstream lines(check.Out());
    std::vector<double> vdLate;
    bool bSoak = false;
    for (const steady_clock::time_point& t : check.LineTimes())
    {
        std::string strLine;
        std::getline(lines, strLine);
        bSoak = bSoak || strLine.rfind("hogspin-check: summary-ret:", 0) == 0;
        if (bSoak && strLine.rfind("hogspin-trace,", 0) == 0)
        {
            vdLate.push_back(std::chrono::duration<double>(t - check.LineTimes()[0]).count() - static_cast<double>(vdLate.size()) * dInterval);
        }
    }
    const double dLate = vdLate.empty() ? 0 : *std::max_element(vdLate.begin(), vdLate.end()) - *std::min_element(vdLate.begin(), vdLate.end());
    std::ifstream lag(m_strPath + "/heats/standin_lag_s");
    double dLag = 0;
    lag >> dLag;
    std::ostringstream what;
    what << std::fixed << std::setprecision(3) << "timing jitter " << std::max(dLate, dLag) << " s (its " << vdLate.size() << " samples up to " << dLate
         << " s late, the board up to " << dLag << " s behind)";
    *pstrWhat = what.str();
    return std::max(dLate, dLag);
}

// What lava-test-case was called with, sorted.
void HogspinCheck::JudgeCalls(const SCheckRow& c)
{
    if (c.pszCalls == nullptr)
    {
        return;
    }
    std::ifstream file(m_strPath + "/calls");
    std::vector<std::string> vCalls;
    for (std::string strLine; std::getline(file, strLine);)
    {
        vCalls.push_back(strLine + "\n");
    }
    std::sort(vCalls.begin(), vCalls.end());
    std::string strCalls;
    for (const std::string& strCall : vCalls)
    {
        strCalls += strCall;
    }
    EXPECT_EQ(strCalls, Expand(c.pszCalls));
}

// "" where FILE=VALUE's file, under the test's directory, holds VALUE; else what it holds.
std::string HogspinCheck::ReadBack(const std::string& strFileValue) const
{
    std::ifstream file(m_strPath + "/" + strFileValue.substr(0, strFileValue.find('=')));
    std::string strValue;
    file >> strValue;
    return strValue == strFileValue.substr(strFileValue.find('=') + 1) ? "" : "reads '" + strValue + "'";
}

// {HEATS}: the stand-in board, started with the row's arguments.
void HogspinCheck::StartBoard(const SCheckRow& c, CToolRun& writer)
{
    if (std::string(c.pszEnv).find("{HEATS}") == std::string::npos)
    {
        return;
    }
    // Its tree exists before its first step: the check must find it whole, and none of
    // an earlier row's board left in its place.
    ASSERT_EQ(system(("rm -rf " + m_strPath + "/heats").c_str()), 0);
    std::vector<std::string> vArgv = {HOGSPIN_PYTHON, HOGSPIN_STANDIN_SCRIPT, m_strPath + "/heats", "--cpu", Expand("{K}"), "--seconds", "40"};
    std::istringstream heats(c.pszHeats);
    for (std::string strWord; heats >> strWord;)
    {
        vArgv.push_back(Expand(strWord));
    }
    writer.StartCommand(vArgv);
    const std::string strLast = m_strPath + "/heats/class/thermal/cooling_device0/stats/time_in_state_ms";
    const auto tDeadline = steady_clock::now() + kOutputTimeout;
    while (access(strLast.c_str(), R_OK) != 0 && steady_clock::now() < tDeadline)
    {
        std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_EQ(access(strLast.c_str(), R_OK), 0) << "the stand-in board never made its tree";
}

// Once the summary line was judged (and the row's file written), the row's signal; or its
// reader goes away. The tools it started, for the end to look for.
void HogspinCheck::Interrupt(const SCheckRow& c, CToolRun& check, std::vector<pid_t>& vTools)
{
    // The board, the trace's header, limits and sensors, the summaries (with a list, one a CPU
    // and one over them): the trace may follow at any moment, so the last of them is judged alone.
    const bool bAll = CpusOf(c) == "all";
    const size_t nTools = bAll ? AllowedCPUs().size() : 1;
    const size_t nLine = 4 + (bAll ? 2 * nTools + 1 : 1);  // a case line and its data line each
    ASSERT_TRUE(check.WaitForLines(nLine)) << check.Out() << check.Err();
    std::istringstream lines(check.Out());
    std::string strLine;
    for (size_t i = 0; i < nLine; ++i)
    {
        std::getline(lines, strLine);
    }
    EXPECT_EQ(strLine, Expand(bAll ? "hogspin-check: summary-ret: pass (for each of CPUs {ALL})"
                                   : "hogspin-check: summary-ret: pass (hogspin {K}, count=1, ret=1)"));
    vTools = DescendantsNamed(check.Pid(), "hogspin");
    EXPECT_EQ(vTools.size(), nTools);
    if (std::string(c.pszEnv).find("{STALL}") != std::string::npos)
    {
        ASSERT_TRUE(check.StallOutput()) << "the check never filled its output";
    }
    if (c.pszReadBack != nullptr)
    {
        const std::string strFirst = Expand(c.pszReadBack).substr(0, Expand(c.pszReadBack).find(' '));
        const auto tDeadline = steady_clock::now() + kOutputTimeout;
        while (ReadBack(strFirst).empty() && steady_clock::now() < tDeadline)
        {
            std::this_thread::sleep_for(milliseconds(10));
        }
        ASSERT_FALSE(ReadBack(strFirst).empty()) << strFirst << ": the check never wrote it\n" << check.Out();
    }
    c.nSignal == SIGPIPE ? check.CloseOutput() : check.Signal(c.nSignal);
}

void HogspinCheck::Run(const SCheckRow& c)
{
    SCOPED_TRACE(std::string(c.pszTool) + " " + c.pszEnv + " " + std::to_string(c.nSignal) + (c.bIgnorePipe ? " ignored" : ""));
    if (c.pszHas != nullptr && !kExact)
    {
        return;  // sanitizer runtimes add a thread that the check would count as a worker
    }
    if (std::string(c.pszHeats).find("--policy") != std::string::npos && AllowedCPUs().size() < 2)
    {
        std::cout << "a board of clusters needs two CPUs, and this process may use one\n";
        return;
    }
    ASSERT_EQ(system(("rm -f " + m_strPath + "/calls " + m_strPath + "/stray.pid").c_str()), 0);
    CToolRun writer;
    ASSERT_NO_FATAL_FAILURE(StartBoard(c, writer));
    CToolRun burner;
    if (std::string(c.pszEnv).find("{BURN}") != std::string::npos)
    {
        burner.StartCommand({"timeout", "5", "taskset", "-c", Expand("{K}"), "sh", "-c", "while :; do :; done"});
    }
    CToolRun check;
    StartCheck(c, check);
    std::vector<pid_t> vTools;
    if (c.nSignal != 0)
    {
        ASSERT_NO_FATAL_FAILURE(Interrupt(c, check, vTools));
    }
    int iStatus = -1;
    // Bounded well below the 30 s soak: it must not wait that out. A sweep of four points
    // takes ten seconds or so.
    ASSERT_TRUE(check.WaitExit(&iStatus, 0, c.pszReadBack != nullptr ? milliseconds(30000) : kOutputTimeout)) << check.Out() << check.Err();
    EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == c.nStatus) << "status " << iStatus;
    JudgeOutput(c, check);
    JudgeCalls(c);
    std::istringstream readBack(Expand(c.pszReadBack != nullptr ? c.pszReadBack : ""));
    for (std::string strFile; readBack >> strFile;)
    {
        EXPECT_EQ(ReadBack(strFile), "") << strFile;
    }
    std::ifstream stray(m_strPath + "/stray.pid");
    for (pid_t nStray; stray >> nStray;)
    {
        vTools.push_back(nStray);
    }
    for (const pid_t nTool : vTools)
    {
        if (IsRunning(nTool))
        {
            ADD_FAILURE() << "the check left " << ProcStat(std::to_string(nTool)).first << " " << nTool << " running";
            kill(nTool, SIGKILL);
        }
    }
}

// It fails every case at once, saying why, when it cannot start the tool or a parameter is bad.
TEST_F(HogspinCheck, FailsEveryCaseWhenItCannotStart)
{
    const SCheckRow aRows[] = {

        {"/nonexistent/hogspin", "", "30", 0, 1, "hogspin-check: cannot start '/nonexistent/hogspin': not found\n"},
        {"/etc/passwd", "", "30", 0, 1, "hogspin-check: cannot start '/etc/passwd': not executable\n"},
        {"/nonexistent/a\\cb", "", "30", 0, 1, "hogspin-check: cannot start '/nonexistent/a\\cb': not found\n"},
        {"/bin/false", "", "30", 0, 1, "hogspin-check: cannot start '/bin/false': it ended at once with status 1\n"},
        {"/nonexistent/hogspin", "HOGSPIN_CHECK=", "30", 0, 1,
         "hogspin-check: cannot find hogspin-check: none beside '/nonexistent/hogspin' or in PATH\n"},
        {HOGSPIN_EXE, "MAX_TEMP=85C", "30", 0, 2,
         "hogspin-check: cannot check: MAX_TEMP must be a number such as 2 or 0.5, not '85C'\n"},
        {HOGSPIN_EXE, "MAX_TEMP=85C {LAVA}", "30", 0, 2,
         "hogspin-check: cannot check: MAX_TEMP must be a number such as 2 or 0.5, not '85C'\n", nullptr, false,
         "cpu-busy:fail::\nstop-sigint:fail::\nsummary-ret:fail::\nworkers-pinned:fail::\n"},
        {HOGSPIN_EXE, "TMPDIR=/nonexistent {LAVA}", "30", 0, 1,
         "hogspin-check: cannot make a temporary file for its results in /nonexistent\n", nullptr, false,
         "cpu-busy:fail::\nstop-sigint:fail::\nsummary-ret:fail::\nworkers-pinned:fail::\n"},
        {HOGSPIN_EXE, "{CPUS=3-1}", "30", 0, 2,
         "hogspin-check: cannot check: CPU must be a CPU such as 2, a list such as 0-3 or 0,2,4-5, or all: the range '3-1' runs "
         "down: its first CPU must come first\n"},
        // Opening a FIFO no one reads would wait, deaf to signals.
        {HOGSPIN_EXE, "{RESULTS=fifo}", "30", 0, 2,
         "hogspin-check: cannot check: cannot write the results to '{DIR}/fifo': a FIFO that no one reads\n"},
    };
    for (const SCheckRow& c : aRows)
    {
        Run(c);
    }
}

// A short soak passes, or fails a limit, and judges what the board's sensors say.
TEST_F(HogspinCheck, ShortSoaksJudgeTheBoard)
{
    const SCheckRow aRows[] = {
        {HOGSPIN_EXE, "INTERVAL=0.1", "0.2", 0, 0, "", "hogspin-check: stop-sigint: pass"},
        {HOGSPIN_EXE, "INTERVAL=0.1 MAX_TEMP=85 HOGSPIN_SYSFS={SYS}", "0.2", 0, 1, "",
         "hogspin-check: limit-temp-soc: fail (95.0 C, the highest of the soak; limit 85 C)"},
        // A second's soak: cpu-busy judges the tool's share of CPU K on more than a moment of a busy machine.
        {HOGSPIN_EXE, "INTERVAL=0.1 MAX_TEMP=85 HOGSPIN_SYSFS={SYS} {LAVA}", "1", 0, 1, "",
         "hogspin-check: temp-max-wifi: skip (class/thermal/thermal_zone1/temp could not be read at any of 11 samples)", false,
         "clock-measured-cpu{K}:skip::\ncpu-busy:pass::\nfreq-min-cpu{K}:skip::\nlimit-temp-soc:fail::\npower-max:skip::\n"
         "stop-sigint:pass::\nsummary-ret:pass::\nsustainable-power-soc:skip::\ntemp-max-soc:pass:95.0:C\ntemp-max-wifi:skip::\ntemp-rise-soc:pass:0.0:C\n"
         "temp-steady-soc:skip::\ntemp-tau-fast-soc:skip::\ntemp-tau-soc:skip::\nthermal-resistance-soc:skip::\nthrottle-onset-cpu{K}:skip::\n"
         "throttle-time-cpu{K}:skip::\nworkers-pinned:pass::\n"},
        // A board that heats as the load asks: a zone of τ 0.5 s and 10 K/W, 2 W of load on 0.5 W at rest.
        {HOGSPIN_EXE, "BASELINE=1 INTERVAL=0.1 HOGSPIN_SYSFS={HEATS}", "3", 0, 0, "", "hogspin-check: stop-sigint: pass",
         false, nullptr, "temp-tau-soc=0.5±0.1s temp-steady-soc=50±1 thermal-resistance-soc=10±1.5 power-idle-ina3221-VDD_CPU=0.6±0.4"},
        // A die of τ 0.25 s on a board of τ 1.25 s, 5 C and 20 C over 40 C, and a governor that
        // ramps from 600 MHz as the load starts: two poles, and no throttling. The stand-in sees
        // the load a step late, and its ramp slows the die's rise a little: τ fast comes out long.
        {HOGSPIN_EXE, "BASELINE=1 INTERVAL=0.05 HOGSPIN_SYSFS={HEATS}", "5", 0, 0, "", "hogspin-case,throttle-onset-cpu{K},pass,never,s",
         false, nullptr, "temp-tau-soc=1.25±0.25s temp-tau-fast-soc=0.25±0.12s temp-steady-soc=65±1.5",
         "--zone soc:33.75:2.5:0.25:10:1.25 --idle 0.5 --load 2 --ramp 600000:0.05"},
        // A sweep of its operating points: the coefficient, the leakage of its heat left out,
        // and the policy put back.
        {HOGSPIN_EXE, "BASELINE=0.5 INTERVAL=0.15 OPP_SWEEP=1 OPP_HOLD=1.2 HOGSPIN_SYSFS={HEATS}", "0.5", 0, 0, "",
         "hogspin-check: opp-restore-cpu{K}: pass", false, nullptr,
         "dynamic-power-coefficient-cpu{K}=530±10 power-opp-cpu{K}-1800=1.154±0.025 power-opp-cpu{K}-600=0.204±0.006", kOppBoard,
         kOppPolicy},
        // The whole board in one cluster: one core's power and the shared part at each point;
        // a second's soak, as each tool's share of its CPU is judged.
        {HOGSPIN_EXE, "BASELINE=0.5 INTERVAL=0.15 OPP_SWEEP=1 OPP_HOLD=1.2 {CPUS=all} HOGSPIN_SYSFS={HEATS}", "1", 0, 0, "",
         "hogspin-check: opp-restore-cpu{J}: pass", false, nullptr,
         "power-opp-cpu{J}-1800=0.218±0.007 power-cluster-cpu{J}-1800=0.131±0.013 power-opp-cpu{J}-600=0.038±0.002 "
         "dynamic-power-coefficient-cpu{J}=100±3",
         kClusterBoard, kClusterPolicy},
        // Two policies of their own, 100 and 400 µW/MHz/V², on a die that passes its 40 C trip
        // at once: the step-wise governor caps both, and each is found throttled.
        {HOGSPIN_EXE, "INTERVAL=0.1 {CPUS=all} HOGSPIN_SYSFS={HEATS}", "2", 0, 0, "", "hogspin-check: throttle-onset-cpu{K}: pass (",
         false, nullptr, "throttle-time-cpu{J}=1.5±0.5s throttle-time-cpu{K}=1.5±0.5s",
         "--zone soc:30:20:0.2 --idle 0.4 --passive 40 --policy {J}:100:0:1400000:1000000,1800000:1100000 "
         "--policy {K}:400:0:1400000:1000000,1800000:1100000"},
        // Capped as it starts: the maximum it reads is the cap, which it must not put back as the bound.
        {HOGSPIN_EXE, "INTERVAL=0.1 OPP_SWEEP=1 HOGSPIN_SYSFS={HEATS}", "0.3", 0, 0, "",
         "hogspin-check: dynamic-power-coefficient-cpu{K}: skip (no sweep: cpufreq-cpu{K} is at state 1: scaling_max_freq reads its "
         "cap (1800000 kHz), not the bound the sweep would put back)",
         false, nullptr, nullptr, "--zone soc:25:10:1 --clock 1800000:1400000:20 --idle 0.4 --coefficient 530 --opp 1400000:1000000,1800000:1100000",
         "heats/devices/system/cpu/cpu{K}/cpufreq/scaling_max_freq=1800000 heats/devices/system/cpu/cpu{K}/cpufreq/scaling_min_freq=1400000"},
        // CPU K busy, the tool's tree busy elsewhere, its worker on K idle: no soak.
        {"{IDLE}", "INTERVAL=0.1 {BURN}", "0.3", 0, 1, "", "0.0 % of a CPU the tool's)"},
        // A slow start and a long walk of the tool's tree: they delay the soak, never shorten it.
        // A second of it, so that the tool's share of CPU K is judged on more than a moment
        // of a machine that has other work.
        {"{SLOW}", "INTERVAL=0.05", "1", 0, 0, "", "hogspin-check: cpu-busy: pass (CPU {K} "},
        {HOGSPIN_EXE, "INTERVAL=0.1 {RESULTS=/dev/full}", "0.2", 0, 1,
         "hogspin-check: cannot write its results to '/dev/full' (No space left on device): ending the tool it started and "
         "stopping\n",
         "hogspin-check: summary-ret: pass"},
        // Every CPU it may use loaded, a tool each; and one of them killed mid-soak, which
        // ends the soak for all and fails its stop.
        {HOGSPIN_EXE, "INTERVAL=0.1 {CPUS=all} HOGSPIN_SYSFS={HEATS}", "1", 0, 0, "",
         "hogspin-check: cpu-busy: pass (for each of CPUs {ALL})"},
        {"{DIES}", "INTERVAL=0.1 {CPUS=all}", "3", 0, 1, "",
         "hogspin-check: stop-sigint-cpu{K}: fail (it had ended before SIGINT, with status 137, last line: hogspin {K}, count=1, ret=1)"},
        // A helper it left, deaf to SIGINT, its leader thread ended and another running on.
        {"{STRAY}", "INTERVAL=0.1 STOP_BOUND=0.5", "0.2", 0, 1, "",
         "hogspin-check: stop-sigint: fail (status 0, but what it started was still running 0.5 s after SIGINT: killed, last line: "
         "hogspin {K}, Exit!)"},
    };
    for (const SCheckRow& c : aRows)
    {
        Run(c);
    }
}

// A signal, or a reader gone, ends it mid-soak, and the tool with it.
TEST_F(HogspinCheck, SignalsEndTheToolAndTheCheck)
{
    const SCheckRow aRows[] = {
        {HOGSPIN_EXE, "", "30", SIGTERM, 143, "hogspin-check: SIGTERM: ending the tool it started and stopping\n"},
        {HOGSPIN_EXE, "{LAVA}", "30", SIGINT, 143, "hogspin-check: SIGTERM: ending the tool it started and stopping\n",
         nullptr, false, "cpu-busy:fail::\nstop-sigint:fail::\nsummary-ret:pass::\nworkers-pinned:fail::\n"},
        {HOGSPIN_EXE, "", "30", SIGHUP, 129, "hogspin-check: SIGHUP: ending the tool it started and stopping\n"},
        {HOGSPIN_EXE, "{CPUS=all}", "30", SIGTERM, 143, "hogspin-check: SIGTERM: ending the tool it started and stopping\n"},
        // Mid-sweep, the policy pinned and the tool perhaps stopped: both put back.
        {HOGSPIN_EXE, "INTERVAL=0.15 OPP_SWEEP=1 OPP_HOLD=1.2 HOGSPIN_SYSFS={HEATS}", "0.3", SIGTERM, 143,
         "hogspin-check: SIGTERM: ending the tool it started and stopping\nhogspin-check: CPU {K}'s policy restored as it was "
         "before the sweep\n",
         nullptr, false, nullptr, nullptr, kOppBoard, kOppPolicy},
        {HOGSPIN_EXE, "INTERVAL=0.15 OPP_SWEEP=1 OPP_HOLD=1.2 {CPUS=all} HOGSPIN_SYSFS={HEATS}", "0.3", SIGTERM, 143,
         "hogspin-check: SIGTERM: ending the tool it started and stopping\nhogspin-check: CPU {J}'s policy restored as it was "
         "before the sweep\n",
         nullptr, false, nullptr, nullptr, kClusterBoard, kClusterPolicy},
        // ... and through the LAVA glue, which hands its SIGINT on as SIGTERM.
        {HOGSPIN_EXE, "INTERVAL=0.15 OPP_SWEEP=1 OPP_HOLD=1.2 HOGSPIN_SYSFS={HEATS} {LAVA}", "0.3", SIGINT, 143,
         "hogspin-check: SIGTERM: ending the tool it started and stopping\nhogspin-check: CPU {K}'s policy restored as it was "
         "before the sweep\n",
         nullptr, false, nullptr, nullptr, kOppBoard, kOppPolicy},
        {HOGSPIN_EXE, "", "30", SIGPIPE, 141, "hogspin-check: SIGPIPE: ending the tool it started and stopping\n"},
        {HOGSPIN_EXE, "{CPUS=all}", "30", SIGPIPE, 141, "hogspin-check: SIGPIPE: ending the tool it started and stopping\n"},
        // Its reader stops reading: the check waits for it, but not through a signal.
        {HOGSPIN_EXE, "INTERVAL=0.001 {STALL}", "30", SIGTERM, 143, "hogspin-check: SIGTERM: ending the tool it started and stopping\n"},
        {HOGSPIN_EXE, "", "30", SIGPIPE, 1, "hogspin-check: cannot write its output: ending the tool it started and stopping\n",
         nullptr, true},
    };
    for (const SCheckRow& c : aRows)
    {
        Run(c);
    }
}

// The soak's plot from a LAVA job's log: every series that holds a value is drawn and named,
// with the limits that were set; one that holds none is left out, since gnuplot refuses it.
TEST(HogspinPlot, DrawsAndNamesEverySeriesOfTheLastSoak)
{
    if (system("command -v gnuplot >/dev/null 2>&1") != 0)
    {
        if (const char* pszCI = getenv("CI"); pszCI != nullptr && std::string(pszCI) == "true")
        {
            FAIL() << "gnuplot not found: CI must have gnuplot-nox";
        }
        GTEST_SKIP() << "gnuplot not found (apt-get install gnuplot-nox)";
    }
    const CTempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string& strDir = dir.Path();
    {
        std::ofstream log(strDir + "/job.log");
        for (const char* pszLine :
             {"hogspin-trace,t_s,cpu2_busy_pct,cpu2_mhz,old_c", "hogspin-trace,0.0,,1000,30.0",
              "hogspin-trace,t_s,cpu1_busy_pct,cpu1_mhz,soc-thermal_c,gpu_c,ina3221-VDD_CPU_w",
              "hogspin-limits,max_temp_c=85,min_freq_mhz=,max_power_w=3.5", "hogspin-trace,0.0,,1200,41.0,,1.5",
              "hogspin-trace,1.0,100.0,1200,43.5,,2.75", "hogspin-trace,2.0,100.0,800,45.25,,2.5",
              "hogspin-fit,soc-thermal,t0_c=41.0,tinf_c=50.0,tau_s=8.0,tau_fast_s=0.5,fast_share=0.2",
              "hogspin-check: throttle-onset-cpu1: pass (1.5 s into the soak)", "hogspin-case,throttle-onset-cpu1,pass,1.5,s"})
        {
            log << "- {\"dt\": \"2026-12-08T12:00:00\", \"lvl\": \"target\", \"msg\": \"" << pszLine << "\"}\n";
        }
    }
    CToolRun plot;
    plot.StartCommand({"sh", HOGSPIN_PLOT_SCRIPT, "--png", strDir + "/job.log", strDir + "/soak.svg"});
    int iStatus = -1;
    ASSERT_TRUE(plot.WaitExit(&iStatus)) << plot.Out() << plot.Err();
    EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0) << "status " << iStatus << ": " << plot.Err();
    EXPECT_EQ(plot.Err(), "");
    std::ifstream file(strDir + "/soak.svg");
    std::string strSvg;
    std::getline(file, strSvg, '\0');  // the whole file: an SVG holds no NUL
    for (const char* pszSeries : {"soc-thermal (°C)", "soc-thermal fit, τ 8 and 0.5 s", "cpu1 clock (MHz)", "ina3221-VDD_CPU (W)", "MAX_TEMP 85 °C",
                                  "MAX_POWER 3.5 W", "throttle onset 1.5 s"})
    {
        EXPECT_NE(strSvg.find(pszSeries), std::string::npos) << "no " << pszSeries << " in the SVG";
    }
    for (const char* pszAbsent : {"gpu", "old", "MIN_FREQ"})
    {
        EXPECT_EQ(strSvg.find(pszAbsent), std::string::npos) << pszAbsent << " in the SVG";
    }
    EXPECT_EQ(access((strDir + "/soak.png").c_str(), R_OK), 0) << "no PNG";
}

} // namespace
