// qv_watchdog-sim as a child process on a simulated camera, driven by sim/signals.
#include "tests/watchdog/camera.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace wdtest;
using qvtest::RunResult;

const std::string device_opened = "0 open 0\n0 SETTIMEOUT 45 0\n0 GETTIMEOUT 45\n";

std::string keepalives(std::initializer_list<long> ms)
{
    std::string s;
    for (long t : ms)
        s += std::to_string(t) + " KEEPALIVE 0\n";
    return s;
}

// Times of the KEEPALIVE requests in a watchdog.log.
std::vector<long> keepalive_times(const std::string& log)
{
    std::vector<long> times;
    for (const auto& line : lines_with(log, " KEEPALIVE "))
        times.push_back(std::stol(line));
    return times;
}

struct ConfCase {
    const char* name;
    std::string conf;
    bool switches_off;
};

TEST_F(Camera, ConfigurationSwitchesTheDaemonOffOnlyByItsWatchdogNoLine)
{
    const ConfCase cases[] = {
        {"no", "watchdog=no\n", true},
        {"upper NO", "watchdog=NO\n", true},
        {"colon", "watchdog:nO\n", true},
        {"nothing", "watchdog=nothing\n", true},
        {"blanks and CR stripped", "   watchdog=no   \r\n", true},
        {"no newline at the end", "watchdog=no", true},
        {"after other lines", "# settings\nwatchdog=yes\nwatchdog=no\nwatchdog=yes\n", true},
        {"second piece of a long line", std::string(63, 'x') + "watchdog=no\n", true},
        {"upper key", "WATCHDOG=no\n", false},
        {"blanks around the separator", "watchdog = no\n", false},
        {"yes", "watchdog=yes\n", false},
        {"tab is not stripped", "\twatchdog=no\n", false},
        {"key alone after a longer line", "watchdog=yes-no\nwatchdog\n", false},
        {"no in the middle of a long line", std::string(60, 'x') + "watchdog=no\n", false},
        {"empty file", "", false},
    };
    put("sim/signals", "100 SIGTERM\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_logs();
        put("mnt/nand/watchdog.conf", c.conf);
        RunResult r = daemon();
        if (c.switches_off) {
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out, watchdog_no("1970-01-01 00:00:00"));
            EXPECT_EQ(sim_file("watchdog.log"), "");  // never opened
        } else {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, started + recv_signal("1970-01-01 00:00:00", SIGTERM));
            EXPECT_EQ(sim_file("watchdog.log"), device_opened + "100 close 0\n");
        }
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Camera, SwitchedOffItNeitherPingsNorWatchesQvserver)
{
    put("mnt/nand/watchdog.conf", "watchdog=no\n");
    remove("tmp/qvserver");
    put("sim/signals", "200000 SIGTERM\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(sim_file("watchdog.log"), "");
    EXPECT_EQ(sim_file("shell.log"), "");
}

TEST_F(Camera, FeedsEveryFiftyTicksAndStopsAtSigtermDuringASleep)
{
    put("sim/signals", "12050 SIGTERM\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, conf_missing + started + recv_signal("1970-01-01 00:00:12", SIGTERM));
    EXPECT_EQ(r.err, "");
    // The tick whose sleep was cut short is the last; no magic close is written.
    EXPECT_EQ(sim_file("watchdog.log"), device_opened + keepalives({4900, 9900}) + "12050 close 0\n");
    EXPECT_EQ(sim_file("shell.log"), "");
}

TEST_F(Camera, SigintStopsItToo)
{
    put("sim/signals", "5000 SIGINT\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, conf_missing + started + recv_signal("1970-01-01 00:00:05", SIGINT));
    EXPECT_EQ(sim_file("watchdog.log"), device_opened + keepalives({4900}) + "5000 close 0\n");
}

TEST_F(Camera, MissingDeviceEndsWithStatus255)
{
    remove("dev/watchdog");
    put("sim/signals", "10000 SIGTERM\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, conf_missing + started + "watchdog open failed");
    EXPECT_EQ(sim_file("watchdog.log"), "0 open -1 ENOENT\n");
}

TEST_F(Camera, TimeOutRequestsThatFailAreReportedAndTheDaemonRunsOn)
{
    put("sim/faults", "fail SETTIMEOUT /dev/watchdog 1 EINVAL\nfail GETTIMEOUT /dev/watchdog 1 ENOTTY\n");
    put("sim/signals", "6000 SIGTERM\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "ioctl: Invalid argument\nioctl: Inappropriate ioctl for device\n");
    EXPECT_EQ(sim_file("watchdog.log"),
              "0 open 0\n0 SETTIMEOUT 45 -1 EINVAL\n0 GETTIMEOUT -1 ENOTTY\n" + keepalives({4900}) +
                  "6000 close 0\n");
}

TEST_F(Camera, EveryFailingKeepaliveIsReported)
{
    put("sim/faults", "fail KEEPALIVE /dev/watchdog 1+ EIO\n");
    put("sim/signals", "15050 SIGTERM\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    const std::string failed = "\n ===== watchdog keep alive faield, fd:[3], ret:[-1] ======== \n";
    EXPECT_EQ(r.out, conf_missing + started + failed + failed + failed +
                         recv_signal("1970-01-01 00:00:15", SIGTERM));
    EXPECT_EQ(lines_with(sim_file("watchdog.log"), "KEEPALIVE -1 EIO").size(), 3u);
}

TEST_F(Camera, NoKeepaliveWhileARebootIsInProgress)
{
    put("tmp/qv_rebooting", "");
    put("sim/faults", "fail KEEPALIVE /dev/watchdog 1+ EIO\n");  // would show if one were sent
    put("sim/signals", "15050 SIGTERM\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, conf_missing + started + recv_signal("1970-01-01 00:00:15", SIGTERM));
    EXPECT_EQ(sim_file("watchdog.log"), device_opened + "15050 close 0\n");
}

// Descriptor 0 is what the device gets when standard input is closed; it must be used, not
// taken for a failure that leaves the device open and counting.
TEST_F(Camera, WatchdogOnDescriptorZeroWhenStandardInputIsClosed)
{
    put("sim/faults", "fail KEEPALIVE /dev/watchdog 1 EIO\n");  // makes the descriptor visible
    put("sim/signals", "10050 SIGTERM\n");
    std::string out_path = dir_ / "out";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        close(out);
        close(0);
        setenv("CAMSIM_ROOT", root_.c_str(), 1);
        setenv("TZ", "UTC", 1);
        qvtest::exec_command(qvtest::command_line(qvtest::bin("qv_watchdog-sim"), {}));
        _exit(127);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(qvtest::read_file(out_path),
              conf_missing + started + "\n ===== watchdog keep alive faield, fd:[0], ret:[-1] ======== \n" +
                  recv_signal("1970-01-01 00:00:10", SIGTERM));
    EXPECT_EQ(sim_file("watchdog.log"), device_opened + "4900 KEEPALIVE -1 EIO\n" + keepalives({9900}) +
                                            "10050 close 0\n");
}

struct DeadCase {
    const char* name;
    const char* pid_file;  // nullptr: no pid file
    const char* proc_file; // a plain file under proc/, not a process directory
    std::string err;
};

TEST_F(Camera, DeadQvserverAtTheSixHundredthTickRebootsTheCamera)
{
    const DeadCase cases[] = {
        {"no pid file", nullptr, nullptr, ""},
        {"empty pid file", "", nullptr, ""},
        {"no such process", "4321\n", nullptr, "/proc/4321: No such file or directory\n"},
        {"letters only", "abc\n", nullptr, "/proc/0: No such file or directory\n"},
        {"a sign is no digit", "-5\n", nullptr, "/proc/0: No such file or directory\n"},
        {"too large", "99999999999\n", nullptr, "/proc/2147483647: No such file or directory\n"},
        {"names a plain file", "555\n", "proc/555", ""},
    };
    put("sim/signals", "70000 SIGTERM\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_logs();
        remove("tmp/qvserver");
        if (c.pid_file)
            put("tmp/qvserver", c.pid_file);
        if (c.proc_file)
            put(c.proc_file, "");
        RunResult r = daemon();
        EXPECT_EQ(r.status, 0);
        const std::string at = "1970-01-01 00:00:59.900";
        EXPECT_EQ(r.out, conf_missing + started + die().console(at) + die_reboot().console(at) +
                             up_time(0, 0, 1, 26).console(at));
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(sim_file("syslog"), die().syslog() + die_reboot().syslog() + up_time(0, 0, 1, 26).syslog());
        EXPECT_EQ(sim_file("shell.log"), "reboot &\t0\n");
        // The device is left open so that a hanging reboot still ends in a reset.
        auto log = sim_file("watchdog.log");
        EXPECT_EQ(lines_with(log, "close").size(), 0u);
        EXPECT_EQ(keepalive_times(log).back(), 59900);
    }
}

TEST_F(Camera, LiveQvserverKeepsTheDaemonWatching)
{
    const std::pair<const char*, const char*> cases[] = {
        {"factory camera", nullptr},
        {"pid and newline", "1234\n"},
        {"blanks and trailing letters", "  1234abc\n"},
    };
    put("proc/1234/status", "");
    put("sim/signals", "125000 SIGTERM\n");
    for (const auto& [name, pid_file] : cases) {
        SCOPED_TRACE(name);
        clear_logs();
        if (pid_file)
            put("tmp/qvserver", pid_file);
        RunResult r = daemon();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, conf_missing + started + recv_signal("1970-01-01 00:02:05", SIGTERM));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(sim_file("shell.log"), "");
        EXPECT_EQ(keepalive_times(sim_file("watchdog.log")).size(), 25u);
    }
}

TEST_F(Camera, DebugMaskDecidesWhetherTheDeathIsLogged)
{
    const std::pair<const char*, bool> cases[] = {{"0\n", false}, {"-1\n", false}, {"2\n", true}};
    remove("tmp/qvserver");
    for (const auto& [mask, logged] : cases) {
        SCOPED_TRACE(mask);
        clear_logs();
        put("tmp/qv_debug_mask", mask);
        RunResult r = daemon();
        EXPECT_EQ(r.status, 0);
        const std::string at = "1970-01-01 00:00:59.900";
        if (logged) {
            EXPECT_EQ(r.out, conf_missing + started + die().console(at) + die_reboot().console(at) +
                                 up_time(0, 0, 1, 26).console(at));
            EXPECT_NE(sim_file("syslog"), "");
        } else {
            EXPECT_EQ(r.out, conf_missing + started);
            EXPECT_EQ(sim_file("syslog"), "");
        }
        EXPECT_EQ(sim_file("shell.log"), "reboot &\t0\n");  // the reboot happens regardless
    }
}

// qvserver is dead throughout, so the first liveness check that is not skipped ends the run:
// its time tells which checks were skipped.
class Suspension : public Camera {
protected:
    void SetUp() override
    {
        Camera::SetUp();
        remove("tmp/qvserver");
    }
    // The death-path console lines at time_ms.
    static std::string death(const std::string& time_ms)
    {
        return die().console(time_ms) + die_reboot().console(time_ms) + up_time(0, 0, 1, 26).console(time_ms);
    }
};

TEST_F(Suspension, Sigusr1DuringTick550SkipsThreeChecks)
{
    // Tick 550 sleeps from 54900 ms; the cut sleep moves every later tick 50 ms earlier.
    put("sim/signals", "54950 SIGUSR1\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, conf_missing + started + recv_signal("1970-01-01 00:00:54", SIGUSR1) +
                         user_signal("1970-01-01 00:00:54", 1) + death("1970-01-01 00:03:59.850"));
    EXPECT_EQ(sim_file("shell.log"), "killall -USR1 qvserver\t1\nreboot &\t0\n");
    // Tick 2400: the 48th keepalive, then the check.
    auto times = keepalive_times(sim_file("watchdog.log"));
    EXPECT_EQ(times.size(), 48u);
    EXPECT_EQ(times.back(), 239850);
}

TEST_F(Suspension, Sigusr2EndsTheSuspensionAtOnce)
{
    put("sim/signals", "54950 SIGUSR1\n130050 SIGUSR2\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, conf_missing + started + recv_signal("1970-01-01 00:00:54", SIGUSR1) +
                         user_signal("1970-01-01 00:00:54", 1) + recv_signal("1970-01-01 00:02:10", SIGUSR2) +
                         user_signal("1970-01-01 00:02:10", 2) + death("1970-01-01 00:02:59.850"));
    EXPECT_EQ(sim_file("shell.log"), "killall -USR1 qvserver\t1\nreboot &\t0\n");
    EXPECT_EQ(keepalive_times(sim_file("watchdog.log")).size(), 36u);  // tick 1800 checks
}

TEST_F(Suspension, FurtherSigusr1WaitsMergesAndFollowsTheFirstSuspension)
{
    put("sim/signals", "54950 SIGUSR1\n100050 SIGUSR1\n110050 SIGUSR1\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    // Notices at once; one forward and reload when the first suspension ends at tick 2350,
    // so the checks up to tick 4150 are skipped.
    EXPECT_EQ(r.out, conf_missing + started + recv_signal("1970-01-01 00:00:54", SIGUSR1) +
                         user_signal("1970-01-01 00:00:54", 1) + recv_signal("1970-01-01 00:01:40", SIGUSR1) +
                         user_signal("1970-01-01 00:01:40", 1) + recv_signal("1970-01-01 00:01:50", SIGUSR1) +
                         user_signal("1970-01-01 00:01:50", 1) + death("1970-01-01 00:06:59.850"));
    EXPECT_EQ(sim_file("shell.log"), "killall -USR1 qvserver\t1\nkillall -USR1 qvserver\t1\nreboot &\t0\n");
    // Keepalives went on every 50 ticks meanwhile.
    auto times = keepalive_times(sim_file("watchdog.log"));
    ASSERT_EQ(times.size(), 84u);
    for (size_t i = 12; i < times.size(); ++i)
        EXPECT_EQ(times[i] - times[i - 1], 5000) << i;
}

TEST_F(Suspension, Sigusr2ReleasesAWaitingRequest)
{
    // The second request waits, SIGUSR2 releases it: forwarded and reloaded at tick 1001.
    put("sim/signals", "54950 SIGUSR1\n80050 SIGUSR1\n100050 SIGUSR2\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sim_file("shell.log"), "killall -USR1 qvserver\t1\nkillall -USR1 qvserver\t1\nreboot &\t0\n");
    EXPECT_EQ(keepalive_times(sim_file("watchdog.log")).size(), 60u);  // tick 3000 checks
}

TEST_F(Camera, SigtermDropsAWaitingRequest)
{
    put("sim/signals", "54950 SIGUSR1\n100050 SIGUSR1\n120050 SIGTERM\n");
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, conf_missing + started + recv_signal("1970-01-01 00:00:54", SIGUSR1) +
                         user_signal("1970-01-01 00:00:54", 1) + recv_signal("1970-01-01 00:01:40", SIGUSR1) +
                         user_signal("1970-01-01 00:01:40", 1) + recv_signal("1970-01-01 00:02:00", SIGTERM));
    EXPECT_EQ(sim_file("shell.log"), "killall -USR1 qvserver\t0\n");
    auto log = sim_file("watchdog.log");
    EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1), "120050 close 0\n");
}

// Rounds of SIGUSR1, SIGUSR1, SIGUSR2, in one burst (the same millisecond) or spread out,
// then SIGUSR2, SIGUSR1, SIGINT, SIGUSR1, SIGTERM in one burst. Taken one after the other
// in the order they arrived: the first round forwards twice (at once, and when SIGUSR2
// releases the waiting request), every further round once; the final SIGUSR1 after SIGUSR2
// forwards once more, the one after SIGINT is dropped.
TEST_F(Camera, ManySignalsInQuickSuccessionLoseNothing)
{
    std::string script;
    std::vector<int> sent;
    auto add = [&](long ms, int sig) {
        script += std::to_string(ms) + " " + std::to_string(sig) + "\n";
        sent.push_back(sig);
    };
    const int rounds = 100;
    for (int i = 0; i < rounds; ++i) {
        long base = 1000 + i * 150L;
        long step = i % 2 == 0 ? 0 : 40;
        add(base, SIGUSR1);
        add(base + step, SIGUSR1);
        add(base + 2 * step, SIGUSR2);
    }
    const long end = 1000 + rounds * 150L;
    for (int sig : {SIGUSR2, SIGUSR1, SIGINT, SIGUSR1, SIGTERM})
        add(end, sig);
    put("sim/signals", script);

    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    // Every notice, in the order the signals arrived.
    std::vector<int> noticed;
    for (const auto& line : lines_with(r.out, "] recv signal "))
        noticed.push_back(std::stoi(line.substr(line.find("recv signal ") + 12)));
    EXPECT_EQ(noticed, sent);
    EXPECT_EQ(lines_with(r.out, "user1 signal.").size(), 2u * rounds + 2);
    EXPECT_EQ(lines_with(r.out, "user2 signal.").size(), rounds + 1u);

    EXPECT_EQ(lines_with(sim_file("shell.log"), "killall -USR1 qvserver\t0").size(), rounds + 2u);
    EXPECT_EQ(lines_with(sim_file("shell.log"), "reboot").size(), 0u);

    // Keepalives on time although most sleeps were cut short.
    auto log = sim_file("watchdog.log");
    auto times = keepalive_times(log);
    ASSERT_GE(times.size(), 3u);
    long previous = 0;
    for (long t : times) {
        EXPECT_LE(t - previous, 5000);
        previous = t;
    }
    EXPECT_LE(end - previous, 5000);
    EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1), std::to_string(end) + " close 0\n");
}

// More signals at once than the daemon can queue: notices may be lost, effects are not. The
// requests wait behind the first suspension until the final SIGUSR2 releases them.
TEST_F(Suspension, AFloodOfSignalsKeepsItsEffect)
{
    std::string script = "1000 SIGUSR1\n";
    for (int i = 0; i < 400; ++i)
        script += "2000 SIGUSR1\n";
    script += "2000 SIGUSR2\n";
    put("sim/signals", script);
    RunResult r = daemon();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sim_file("shell.log"), "killall -USR1 qvserver\t1\nkillall -USR1 qvserver\t1\nreboot &\t0\n");
    // Reloaded at tick 21: tick 2400 checks.
    auto times = keepalive_times(sim_file("watchdog.log"));
    EXPECT_EQ(times.size(), 48u);
    EXPECT_EQ(times.back(), 239900);
    EXPECT_LE(lines_with(r.out, "] recv signal ").size(), 402u);
}

}  // namespace
