// The daemon's units and libqvstd called in this process, on a simulated camera.
#include "libqvstd/qvstd.h"
#include "platform/platform.h"
#include "sim/sim.h"
#include "tests/watchdog/camera.h"
#include "watchdog/watchdog.h"

#include <cstdlib>

namespace {

using namespace wdtest;

class InProcess : public Camera {
protected:
    void SetUp() override
    {
        Camera::SetUp();
        if (const char* tz = getenv("TZ"))
            old_tz_ = tz;
        setenv("TZ", "UTC", 1);
        tzset();
        setenv("CAMSIM_ROOT", root_.c_str(), 1);
        sim_reset();
    }
    void TearDown() override
    {
        unsetenv("CAMSIM_ROOT");
        sim_reset();
        if (old_tz_.empty())
            unsetenv("TZ");
        else
            setenv("TZ", old_tz_.c_str(), 1);
        tzset();
    }

    std::string old_tz_;
};

TEST_F(InProcess, UpTimeSplitsWholeSecondsIntoDaysHoursMinutesSeconds)
{
    struct Case {
        const char* uptime;  // nullptr: /proc/uptime missing
        long d, h, m, s;
    };
    const Case cases[] = {
        {"90061.57 1234.00\n", 1, 1, 1, 1},
        {"59.99 0.50\n", 0, 0, 0, 59},
        {"86400.00 1.00\n", 1, 0, 0, 0},
        {"86399.99 1.00\n", 0, 23, 59, 59},
        {"3600 7200\n", 0, 1, 0, 0},
        {"31536000.10 5.00\n", 365, 0, 0, 0},
        {"", 0, 0, 0, 0},
        {nullptr, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uptime ? c.uptime : "missing");
        remove("proc/uptime");
        remove("sim/syslog");
        if (c.uptime)
            put("proc/uptime", c.uptime);
        testing::internal::CaptureStdout();
        EXPECT_EQ(printf_sys_up_time(), 0);
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        auto line = up_time(c.d, c.h, c.m, c.s);
        EXPECT_EQ(out, line.console("1970-01-01 00:00:00.000"));
        EXPECT_EQ(sim_file("syslog"), line.syslog());
    }
}

TEST_F(InProcess, DebugMaskIsTheFirstIntegerOfItsFileAndOneByDefault)
{
    const std::pair<const char*, int> cases[] = {
        {"0\n", 0}, {"-3\n", -3}, {"  7 and more\n", 7}, {"12abc", 12}, {"abc\n", 1}, {"", 1},
        {"99999999999\n", 2147483647}, {nullptr, 1},
    };
    for (const auto& [text, mask] : cases) {
        SCOPED_TRACE(text ? text : "missing");
        remove("tmp/qv_debug_mask");
        if (text)
            put("tmp/qv_debug_mask", text);
        EXPECT_EQ(debug_get_mask(), mask);
    }
}

TEST_F(InProcess, RebootInProgressWhileItsFileExists)
{
    EXPECT_EQ(qv_is_reboot(), 0);
    put("tmp/qv_rebooting", "");
    EXPECT_EQ(qv_is_reboot(), 1);
}

TEST_F(InProcess, SystemLogAndShellCommands)
{
    _qv_log("ERR:", "first line\n");
    _qv_log("ERR:", "second");
    EXPECT_EQ(sim_file("syslog"), "<3>first line\n<3>second\n");

    EXPECT_EQ(qv_system("killall -USR1 qvserver"), 0);  // the factory camera runs qvserver
    remove("tmp/qvserver");
    EXPECT_EQ(qv_system("killall -USR1 qvserver"), 1);
    EXPECT_EQ(qv_system("no-such-command"), 127);
    EXPECT_EQ(sim_file("shell.log"), "killall -USR1 qvserver\t0\nkillall -USR1 qvserver\t1\nno-such-command\t127\n");
}

TEST_F(InProcess, TimeWithMillisecondsFollowsTheClock)
{
    char buf[32] = {};
    EXPECT_EQ(time_to_string_ms(buf, sizeof buf), 23);
    EXPECT_STREQ(buf, "1970-01-01 00:00:00.000");
    pf_usleep(3723045000);  // 1 h 2 min 3.045 s
    EXPECT_EQ(time_to_string_ms(buf, sizeof buf), 23);
    EXPECT_STREQ(buf, "1970-01-01 01:02:03.045");
    char small[23];
    EXPECT_EQ(time_to_string_ms(small, sizeof small), 0);
    EXPECT_STREQ(small, "");
}

TEST_F(InProcess, KeepaliveNeedsADescriptorAndStopsDuringAReboot)
{
    EXPECT_EQ(watchdog_keepalive(-1), -1);
    int fd = watchdog_open();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(watchdog_keepalive(fd), 0);
    put("tmp/qv_rebooting", "");
    EXPECT_EQ(watchdog_keepalive(fd), 0);
    pf_close(fd);
    EXPECT_EQ(sim_file("watchdog.log"), "0 open 0\n0 SETTIMEOUT 45 0\n0 GETTIMEOUT 45\n0 KEEPALIVE 0\n0 close 0\n");
}

}  // namespace
