// Test support: scratch folders and child processes whose whole output is captured.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qvtest {

// A fresh folder under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status 0..255; 128 + signal number when killed
};

// Path of one of the project's programs in the build's bin folder.
std::string bin(const std::string& name);

// The argument vector that starts a program: the program itself, or, for programs built for
// another architecture, the emulator named by QV_TEST_EMULATOR followed by the program.
std::vector<std::string> command_line(const std::string& program, const std::vector<std::string>& args);
// Replaces the calling (child) process with that command line; returns only on failure.
void exec_command(std::vector<std::string> argv_s);

// Runs a program with the given arguments. camsim_root, when not empty, is put into
// CAMSIM_ROOT; extra_env holds further NAME=VALUE settings. Programs built for another
// architecture are started through the emulator named by QV_TEST_EMULATOR, if set.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& camsim_root = "", const std::vector<std::string>& extra_env = {},
              const std::string& stdin_text = "");

// What an in-process call returned and wrote to stdout and stderr.
struct Output {
    int rc;
    std::string out;
    std::string err;
};
Output capture(const std::function<int()>& call);

// Whole-file helpers.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

}  // namespace qvtest
