// The shell of the simulated camera: no real shell runs; the commands that the programs use
// are carried out on the camera root and logged to sim/shell.log.
#include "platform/platform.h"
#include "sim/internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sim;

namespace {

std::string trim_end(const char* command)
{
    std::string text = command ? command : "";
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

int flash_erase(const std::vector<std::string>& w)
{
    uint64_t start = 0, count = 0;
    if (w.size() != 4 || !parse_number(w[2], start) || !parse_number(w[3], count))
        return 1;
    const MtdDev* d = mtd_of_path(normal_path(w[1].c_str()));
    if (!d)
        return 1;
    int fd = ::open(map_path(w[1].c_str()).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 1;
    uint64_t blocks = d->size / d->erasesize;
    uint64_t first = start / d->erasesize;
    uint64_t last = count == 0 ? blocks : first + count;
    int status = start % d->erasesize == 0 && first < blocks && last <= blocks ? 0 : 1;
    for (uint64_t b = first; status == 0 && b < last; ++b) {
        if (d->nand && d->is_bad(b))
            continue;  // skipped silently, as the contract asks
        if (erase_block(*d, fd, b) != 0)
            status = 1;
    }
    ::close(fd);
    return status;
}

// Lines of a file that contain the word (all lines without one).
int cat_grep(const std::string& path, const std::string* word, std::string& out)
{
    std::string text;
    if (!read_text(map_path(path.c_str()), text)) {
        std::string msg = "cat: " + path + ": " + strerror(errno) + "\n";
        ssize_t r = ::write(2, msg.data(), msg.size());
        (void)r;
        return 1;
    }
    if (!word) {
        out = text;
        return 0;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        size_t next = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, next - start);
        if (line.find(*word) != std::string::npos) {
            out += line;
            if (out.back() != '\n')
                out += '\n';
        }
        start = next;
    }
    return 0;
}

bool qvserver_alive()
{
    std::string text;
    if (!read_text(map_path("/tmp/qvserver"), text))
        return false;
    auto w = split_words(text);
    uint64_t pid = 0;
    if (w.empty() || !parse_number(w[0], pid) || pid == 0)
        return false;
    struct stat st {};
    return ::stat(map_path(("/proc/" + std::to_string(pid)).c_str()).c_str(), &st) == 0;
}

// Runs one command; its standard output is collected in out.
int run_command(const std::string& text, std::string& out)
{
    State& s = state();
    for (const auto& f : s.shell_faults)
        if (text.compare(0, f.prefix.size(), f.prefix) == 0)
            return f.status;
    auto w = split_words(text);
    if (w.empty())
        return 0;
    if (w[0] == "/usr/sbin/flash_erase")
        return flash_erase(w);
    if (w[0] == "cat" && w.size() == 2)
        return cat_grep(w[1], nullptr, out);
    if (w[0] == "cat" && w.size() == 5 && w[2] == "|" && w[3] == "grep")
        return cat_grep(w[1], &w[4], out);
    if (text == "echo 3 > /proc/sys/vm/drop_caches" || text == "sync")
        return 0;
    if (w[0] == "rm" && w.size() >= 3 && w[1] == "-f") {
        for (size_t i = 2; i < w.size(); ++i)
            ::unlink(map_path(w[i].c_str()).c_str());
        return 0;
    }
    if (w[0] == "chmod" && w.size() == 3) {
        char* end = nullptr;
        long mode = strtol(w[1].c_str(), &end, 8);
        if (*end == '\0' && mode >= 0 && mode <= 07777)
            ::chmod(map_path(w[2].c_str()).c_str(), static_cast<mode_t>(mode));
        return 0;
    }
    if (text == "reboot" || text == "reboot &")
        return 0;
    if (text == "killall -USR1 qvserver")
        return qvserver_alive() ? 0 : 1;
    return 127;
}

int run_logged(const char* command, std::string& out)
{
    std::string text = trim_end(command);
    int status = run_command(text, out);
    append_sim_file("shell.log", text + "\t" + std::to_string(status));
    return status;
}

}  // namespace

int pf_system(const char* command)
{
    if (!command)
        return 1;  // system(NULL): a shell is available
    std::string out;
    int status = run_logged(command, out);
    // A child process writes to the same descriptor 1, past our own stdio buffer.
    for (size_t done = 0; done < out.size();) {
        ssize_t n = ::write(1, out.data() + done, out.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return status << 8;
}

FILE* pf_popen(const char* command, const char* mode)
{
    State& s = state();
    if (!command || !mode || (strcmp(mode, "r") != 0 && strcmp(mode, "re") != 0)) {
        errno = EINVAL;
        return nullptr;
    }
    std::string out;
    int status = run_logged(command, out);
    FILE* stream = tmpfile();
    if (!stream)
        return nullptr;
    if (!out.empty())
        fwrite(out.data(), 1, out.size(), stream);
    rewind(stream);
    s.pipes[stream] = status;
    return stream;
}

int pf_pclose(FILE* stream)
{
    State& s = state();
    auto it = s.pipes.find(stream);
    if (it == s.pipes.end()) {
        errno = ECHILD;
        return -1;
    }
    int status = it->second;
    s.pipes.erase(it);
    fclose(stream);
    return status << 8;
}
