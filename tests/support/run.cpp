#include "tests/support/run.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef QV_BIN_DIR
#error "QV_BIN_DIR must name the build's bin folder"
#endif

namespace qvtest {

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qvtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string bin(const std::string& name) { return std::string(QV_BIN_DIR) + "/" + name; }

std::vector<std::string> command_line(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> argv_s;
    if (const char* emu = getenv("QV_TEST_EMULATOR"); emu && *emu) {
        std::istringstream words(emu);
        for (std::string w; words >> w;)
            argv_s.push_back(w);
    }
    argv_s.push_back(program);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    return argv_s;
}

void exec_command(std::vector<std::string> argv_s)
{
    std::vector<char*> argv;
    for (auto& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& camsim_root, const std::vector<std::string>& extra_env,
              const std::string& stdin_text)
{
    const std::vector<std::string> argv_s = command_line(program, args);

    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe(out_pipe) || pipe(err_pipe) || pipe(in_pipe))
        throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        // The child starts with only 0, 1 and 2, whatever the test runner left open, so the
        // descriptor numbers it prints do not depend on how the suite was started.
        close_range(3, ~0U, 0);
        if (camsim_root.empty())
            unsetenv("CAMSIM_ROOT");
        else
            setenv("CAMSIM_ROOT", camsim_root.c_str(), 1);
        for (const auto& kv : extra_env) {
            auto eq = kv.find('=');
            setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
        }
        exec_command(argv_s);
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (!stdin_text.empty()) {
        ssize_t n = write(in_pipe[1], stdin_text.data(), stdin_text.size());
        (void)n;
    }
    close(in_pipe[1]);

    RunResult r;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_count = 2;
    char buf[4096];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

Output capture(const std::function<int()>& call)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = call();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {rc, out, err};
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    f << content;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace qvtest
