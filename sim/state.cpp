// Loading the camera root: flash.conf, sim/faults, sim/signals; counters and page maps.
#include "sim/internal.h"
#include "sim/sim.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {
namespace {

State g_state;

void warn(const std::string& file, int line, const std::string& text)
{
    fprintf(stderr, "camsim: %s line %d not understood: %s\n", file.c_str(), line, text.c_str());
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string strip_comment(const std::string& line)
{
    return line.substr(0, line.find('#'));
}

// Hands each non-blank line of a camera file (comments cut, split into words) to accept, and
// complains about every line that accept does not take. A missing file has no lines.
template <typename Accept>
void for_each_config_line(const std::string& root, const std::string& rel, Accept accept)
{
    std::string text;
    if (!read_text(root + "/" + rel, text))
        return;
    int n = 0;
    for (const auto& raw : lines_of(text)) {
        ++n;
        auto w = split_words(strip_comment(raw));
        if (!w.empty() && !accept(w, raw))
            warn(rel, n, raw);
    }
}

}  // namespace

std::vector<MtdDev> load_flash_conf(const std::string& root)
{
    std::vector<MtdDev> mtds;
    for_each_config_line(root, "flash.conf", [&](const std::vector<std::string>& w, const std::string&) {
        MtdDev d;
        uint64_t es = 0, ws = 0, oob = 0;
        bool ok = w.size() >= 7 && w[0].rfind("mtd", 0) == 0 && w[0].size() > 3;
        if (ok) {
            char* end = nullptr;
            long num = strtol(w[0].c_str() + 3, &end, 10);
            ok = *end == '\0' && num >= 0 && num < max_mtd;
            d.number = static_cast<int>(num);
        }
        ok = ok && parse_number(w[2], d.size) && parse_number(w[3], es) && parse_number(w[4], ws) &&
             parse_number(w[5], oob) && es > 0 && ws > 0 && es % ws == 0 && d.size % es == 0 &&
             es <= UINT32_MAX;
        ok = ok && (w[6] == "nand" || w[6] == "nor");
        for (size_t i = 7; ok && i < w.size(); ++i) {
            ok = w[i].rfind("bad=", 0) == 0 && w[i].size() > 4;
            std::string list = ok ? w[i].substr(4) + "," : "";
            for (size_t start = 0; ok && start < list.size();) {
                size_t comma = list.find(',', start);
                uint64_t b = 0;
                ok = parse_number(list.substr(start, comma - start), b) && b < d.size / es;
                d.bad.push_back(static_cast<uint32_t>(b));
                start = comma + 1;
            }
        }
        if (!ok)
            return false;
        d.name = w[1];
        d.erasesize = static_cast<uint32_t>(es);
        d.writesize = static_cast<uint32_t>(ws);
        d.oobsize = static_cast<uint32_t>(oob);
        d.nand = w[6] == "nand";
        mtds.push_back(d);
        return true;
    });
    return mtds;
}

namespace {

void load_faults(State& s)
{
    for_each_config_line(s.root, "sim/faults", [&](const std::vector<std::string>& w, const std::string& raw) {
        uint64_t v = 0;
        if (w[0] == "fail" && w.size() == 5) {
            Fault f;
            f.call = w[1];
            f.path = w[2];
            std::string nth = w[3];
            if (!nth.empty() && nth.back() == '+') {
                f.and_later = true;
                nth.pop_back();
            }
            f.err = errno_from_name(w[4]);
            if (parse_number(nth, v) && v >= 1 && f.err > 0) {
                f.nth = static_cast<long>(v);
                s.faults.push_back(f);
                return true;
            }
        } else if (w[0] == "shell" && w.size() >= 3) {
            // The prefix may hold blanks: it is everything between the keyword and the status.
            std::string line = strip_comment(raw);
            size_t start = line.find("shell") + 5;
            size_t last = line.find_last_not_of(" \t\r");
            size_t status_at = line.find_last_of(" \t", last) + 1;
            std::string prefix = line.substr(start, status_at - start);
            prefix.erase(0, prefix.find_first_not_of(" \t"));
            prefix.erase(prefix.find_last_not_of(" \t") + 1);
            if (parse_number(w.back(), v) && v <= 255 && !prefix.empty()) {
                s.shell_faults.push_back({prefix, static_cast<int>(v)});
                return true;
            }
        } else if (w[0] == "powercut" && w.size() == 2) {
            if (parse_number(w[1], v) && v >= 1) {
                s.powercut = static_cast<long>(v);
                return true;
            }
        }
        return false;
    });
}

void load_signals(State& s)
{
    for_each_config_line(s.root, "sim/signals", [&](const std::vector<std::string>& w, const std::string&) {
        uint64_t ms = 0;
        int sig = w.size() == 2 ? signal_from_name(w[1]) : 0;
        if (w.size() == 2 && parse_number(w[0], ms) && sig > 0) {
            s.signals.push_back({ms, sig, false});
            return true;
        }
        return false;
    });
    std::stable_sort(s.signals.begin(), s.signals.end(),
                     [](const DueSignal& a, const DueSignal& b) { return a.ms < b.ms; });
}

void* map_file(const std::string& path, size_t size)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (static_cast<size_t>(st.st_size) < size && ::ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        ::close(fd);
        return nullptr;
    }
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    return p == MAP_FAILED ? nullptr : p;
}

[[noreturn]] void fatal(const std::string& what)
{
    fprintf(stderr, "camsim: cannot keep %s under %s: %s\n", what.c_str(), g_state.root.c_str(), strerror(errno));
    exit(125);
}

void ensure_sim_dir(const State& s)
{
    ::mkdir((s.root + "/sim").c_str(), 0755);
}

}  // namespace

bool MtdDev::is_bad(uint64_t block) const
{
    return std::find(bad.begin(), bad.end(), block) != bad.end();
}

State& state()
{
    State& s = g_state;
    if (s.loaded)
        return s;
    const char* root = getenv("CAMSIM_ROOT");
    if (!root || !*root) {
        fprintf(stderr, "CAMSIM_ROOT is not set: it must name the simulated camera's folder\n");
        exit(125);
    }
    s.root = root;
    if (s.root[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof(cwd)))
            s.root = std::string(cwd) + "/" + s.root;
    }
    while (s.root.size() > 1 && s.root.back() == '/')
        s.root.pop_back();
    s.loaded = true;
    s.mtds = load_flash_conf(s.root);
    load_faults(s);
    load_signals(s);
    return s;
}

std::string map_path(const char* path)
{
    if (path && path[0] == '/')
        return state().root + path;
    return path ? path : "";
}

std::string normal_path(const char* path)
{
    std::string out;
    for (const char* p = path; p && *p; ++p) {
        if (*p == '/' && !out.empty() && out.back() == '/')
            continue;
        out += *p;
    }
    return out;
}

const MtdDev* find_mtd(int number)
{
    for (const auto& d : state().mtds)
        if (d.number == number)
            return &d;
    return nullptr;
}

const MtdDev* mtd_of_path(const std::string& normal)
{
    if (normal.rfind("/dev/mtd", 0) != 0 || normal.size() == 8)
        return nullptr;
    const char* digits = normal.c_str() + 8;
    for (const char* p = digits; *p; ++p)
        if (*p < '0' || *p > '9')
            return nullptr;
    if (strlen(digits) > 3)
        return nullptr;
    return find_mtd(atoi(digits));
}

bool fault(const char* call, const std::string& path)
{
    State& s = state();
    if (s.faults.empty())
        return false;
    long on_path = ++s.call_counts[std::string(call) + '\n' + path];
    long on_any = ++s.call_counts[std::string(1, '\x01') + call];  // every path
    for (const auto& f : s.faults) {
        if (f.call != call || (f.path != path && f.path != "*"))
            continue;
        long count = f.path == "*" ? on_any : on_path;
        if (count == f.nth || (f.and_later && count > f.nth)) {
            errno = f.err;
            return true;
        }
    }
    return false;
}

Counters& counters(int mtd)
{
    State& s = state();
    if (!s.counters) {
        ensure_sim_dir(s);
        s.counters = static_cast<Counters*>(map_file(s.root + "/sim/counters", sizeof(Counters) * max_mtd));
        if (!s.counters)
            fatal("sim/counters");
    }
    return s.counters[mtd];
}

uint8_t* page_map(const MtdDev& d)
{
    State& s = state();
    auto it = s.page_maps.find(d.number);
    if (it != s.page_maps.end())
        return it->second;
    size_t size = static_cast<size_t>((d.size / d.subpage() + 7) / 8);
    if (size == 0)
        size = 1;
    ensure_sim_dir(s);
    auto* p = static_cast<uint8_t*>(map_file(s.root + "/sim/pages.mtd" + std::to_string(d.number), size));
    if (!p)
        fatal("sim/pages.mtd" + std::to_string(d.number));
    s.page_maps[d.number] = p;
    s.page_map_sizes[d.number] = size;
    return p;
}

bool mutation_fails()
{
    State& s = state();
    ++s.mutations;
    return s.powercut > 0 && s.mutations == s.powercut;
}

void power_lost()
{
    // Mapped counters and page maps are in the page cache already; stdio buffers die with us.
    _exit(137);
}

uint64_t now_ms() { return state().now_us / 1000; }

void append_sim_file(const char* name, const std::string& line)
{
    State& s = state();
    ensure_sim_dir(s);
    int fd = ::open((s.root + "/sim/" + name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string text = line + "\n";
    ssize_t r = ::write(fd, text.data(), text.size());
    (void)r;
    ::close(fd);
}

namespace {
struct ErrName {
    const char* name;
    int value;
};
constexpr ErrName err_names[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT},   {"EINTR", EINTR},   {"EIO", EIO},
    {"ENXIO", ENXIO},   {"EBADF", EBADF},     {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},
    {"EACCES", EACCES}, {"EFAULT", EFAULT},   {"EBUSY", EBUSY},   {"EEXIST", EEXIST},
    {"ENODEV", ENODEV}, {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR}, {"EINVAL", EINVAL},
    {"ENFILE", ENFILE}, {"EMFILE", EMFILE},   {"ENOTTY", ENOTTY}, {"EFBIG", EFBIG},
    {"ENOSPC", ENOSPC}, {"ESPIPE", ESPIPE},   {"EROFS", EROFS},   {"EPIPE", EPIPE},
    {"ENOSYS", ENOSYS}, {"EOPNOTSUPP", EOPNOTSUPP}, {"ETIMEDOUT", ETIMEDOUT},
    {"EUCLEAN", EUCLEAN}, {"EBADMSG", EBADMSG}, {"ENOTSUPP", 524},
};
struct SigName {
    const char* name;
    int value;
};
constexpr SigName sig_names[] = {
    {"SIGHUP", SIGHUP},   {"SIGINT", SIGINT},   {"SIGQUIT", SIGQUIT}, {"SIGKILL", SIGKILL},
    {"SIGUSR1", SIGUSR1}, {"SIGUSR2", SIGUSR2}, {"SIGPIPE", SIGPIPE}, {"SIGALRM", SIGALRM},
    {"SIGTERM", SIGTERM}, {"SIGCHLD", SIGCHLD}, {"SIGCONT", SIGCONT}, {"SIGSTOP", SIGSTOP},
    {"SIGABRT", SIGABRT}, {"SIGSEGV", SIGSEGV},
};
}  // namespace

int errno_from_name(const std::string& name)
{
    for (const auto& e : err_names)
        if (name == e.name)
            return e.value;
    uint64_t v = 0;
    return parse_number(name, v) && v > 0 && v < 4096 ? static_cast<int>(v) : 0;
}

std::string errno_name(int err)
{
    for (const auto& e : err_names)
        if (e.value == err)
            return e.name;
    return std::to_string(err);
}

int signal_from_name(const std::string& name)
{
    for (const auto& e : sig_names)
        if (name == e.name || name == e.name + 3)
            return e.value;
    uint64_t v = 0;
    return parse_number(name, v) && v > 0 && v < 65 ? static_cast<int>(v) : 0;
}

bool read_text(const std::string& path, std::string& out)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out.clear();
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof(buf))) > 0)
        out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return n == 0;
}

std::vector<std::string> split_words(const std::string& line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n'))
            ++i;
        size_t start = i;
        while (i < line.size() && !(line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n'))
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool parse_number(const std::string& text, uint64_t& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long long v = strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0')
        return false;
    value = v;
    return true;
}

}  // namespace sim

void sim_reset()
{
    sim::State& s = sim::g_state;
    for (const auto& entry : s.files)
        ::close(entry.first);
    for (const auto& entry : s.pipes)
        fclose(entry.first);
    if (s.counters)
        ::munmap(s.counters, sizeof(sim::Counters) * sim::max_mtd);
    for (const auto& entry : s.page_maps)
        ::munmap(entry.second, s.page_map_sizes[entry.first]);
    for (const auto& entry : s.mmio)
        free(entry.first);
    s = sim::State{};
}
