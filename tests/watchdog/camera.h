// A simulated camera for the watchdog daemon, and the texts the daemon writes.
#pragma once

#include "tests/support/run.h"

#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace wdtest {

inline const std::string conf_missing = "\n =======open watchdog conf failed ===== \n";
inline const std::string started = "\n ===== watchdog start 1111111 =========== \n";
constexpr int sim_pid = 100;  // what the simulated camera gives as our process id

// The 1-based line of watchdog/UNIT.cpp that first contains fragment; 0 when none does.
inline int source_line(const std::string& unit, const std::string& fragment)
{
    std::string here = __FILE__;  // .../tests/watchdog/camera.h
    std::string top = here.substr(0, here.rfind("/tests/watchdog/"));
    std::ifstream src(top + "/watchdog/" + unit + ".cpp");
    std::string line;
    for (int n = 1; std::getline(src, line); ++n)
        if (line.find(fragment) != std::string::npos)
            return n;
    return 0;
}

inline std::string trailer(const std::string& func, const std::string& unit, const std::string& fragment)
{
    int line = source_line(unit, fragment);
    EXPECT_GT(line, 0) << fragment << " not found in " << unit;
    return "func:" + func + " file:" + unit + " line:" + std::to_string(line) + "\n";
}

// A notice line; time as "YYYY-MM-DD HH:MM:SS".
inline std::string recv_signal(const std::string& time, int sig)
{
    return "[" + time + " " + std::to_string(sim_pid) + "] recv signal " + std::to_string(sig) +
           "==" + trailer("signal_handler", "main", "recv signal %d");
}
inline std::string user_signal(const std::string& time, int which)
{
    std::string text = "user" + std::to_string(which) + " signal.";
    return "[" + time + " " + std::to_string(sim_pid) + "] " + text + "==" +
           trailer("signal_handler", "main", text);
}
inline std::string watchdog_no(const std::string& time)
{
    return "[" + time + " " + std::to_string(sim_pid) +
           "] ======== watchdog=no watch dog closed! ============" +
           trailer("read_watchdog_conf", "qv_watchdog", "watchdog=no watch dog closed!");
}

// An error line of the death path: the console copy and the system-log copy.
struct ErrorLine {
    std::string text, func, fragment;
    std::string console(const std::string& time_ms) const
    {
        return "[ERR:" + time_ms + " " + std::to_string(sim_pid) + "] \033[0;31m" + text +
               "\033[0;39m ==" + trailer(func, "main", fragment);
    }
    std::string syslog() const { return "<3>" + text + "==" + trailer(func, "main", fragment); }
};
inline ErrorLine die() { return {"qvserver die.", "main", "qvserver die.\\033"}; }
inline ErrorLine die_reboot() { return {"qvserver die! reboot now...", "main", "qvserver die! reboot now...\\033"}; }
inline ErrorLine up_time(long d, long h, long m, long s)
{
    return {"#########System up time :" + std::to_string(d) + "day " + std::to_string(h) + "hour " +
                std::to_string(m) + " minute " + std::to_string(s) + " second##########",
            "printf_sys_up_time", "System up time :%ldday"};
}

// A factory-fresh small camera: qvserver runs as pid 321, /dev/watchdog exists, no
// watchdog.conf, up-time 86.42 s.
class Camera : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = dir_ / "camera";
        auto r = qvtest::run(qvtest::bin("camsim"), {"init", root_, "--small"});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    std::string path(const std::string& rel) const { return root_ + "/" + rel; }
    void put(const std::string& rel, const std::string& content) const { qvtest::write_file(path(rel), content); }
    void remove(const std::string& rel) const { std::remove(path(rel).c_str()); }
    std::string sim_file(const std::string& name) const
    {
        std::string p = path("sim/" + name);
        return qvtest::file_exists(p) ? qvtest::read_file(p) : "";
    }
    // Forgets the logs of earlier runs.
    void clear_logs() const
    {
        for (const char* name : {"watchdog.log", "shell.log", "syslog"})
            remove(std::string("sim/") + name);
    }
    qvtest::RunResult daemon() const { return qvtest::run(qvtest::bin("qv_watchdog-sim"), {}, root_, {"TZ=UTC"}); }

    qvtest::TempDir dir_;
    std::string root_;
};

// Lines of text that contain fragment.
inline std::vector<std::string> lines_with(const std::string& text, const std::string& fragment)
{
    std::vector<std::string> found;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (line.find(fragment) != std::string::npos)
            found.push_back(line);
        pos = end + 1;
    }
    return found;
}

}  // namespace wdtest
