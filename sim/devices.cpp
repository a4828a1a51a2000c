// The camera's other hardware: watchdog, EEPROM bus, MDIO registers, virtual clock with
// scheduled signals, process id and system log.
#include "sim/devices.h"

#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/watchdog.h>
#include <unistd.h>

using namespace sim;

namespace sim {

void watchdog_log(const std::string& call, long r, int err)
{
    std::string result = r < 0 ? "-1 " + errno_name(err) : std::to_string(r);
    append_sim_file("watchdog.log", std::to_string(now_ms()) + " " + call + " " + result);
    if (r < 0)
        errno = err;
}

int watchdog_ioctl(const OpenFile& f, unsigned long request, void* ptr, unsigned long value, bool has_ptr)
{
    State& s = state();
    switch (request) {
    case WDIOC_SETTIMEOUT: {
        int seconds = 0;
        if (!has_ptr || !ptr) {
            watchdog_log("SETTIMEOUT", -1, EFAULT);
            return -1;
        }
        memcpy(&seconds, ptr, sizeof(seconds));
        std::string call = "SETTIMEOUT " + std::to_string(seconds);
        if (fault("SETTIMEOUT", f.path)) {
            watchdog_log(call, -1, errno);
            return -1;
        }
        if (seconds < 1 || seconds > 65535) {
            watchdog_log(call, -1, EINVAL);
            return -1;
        }
        s.watchdog_timeout = seconds;
        memcpy(ptr, &seconds, sizeof(seconds));  // the driver writes back what it set
        watchdog_log(call, 0, 0);
        return 0;
    }
    case WDIOC_GETTIMEOUT: {
        if (!has_ptr || !ptr) {
            watchdog_log("GETTIMEOUT", -1, EFAULT);
            return -1;
        }
        if (fault("GETTIMEOUT", f.path)) {
            watchdog_log("GETTIMEOUT", -1, errno);
            return -1;
        }
        memcpy(ptr, &s.watchdog_timeout, sizeof(int));
        watchdog_log("GETTIMEOUT", s.watchdog_timeout, 0);
        return 0;
    }
    case WDIOC_KEEPALIVE: {
        (void)value;
        if (fault("KEEPALIVE", f.path)) {
            watchdog_log("KEEPALIVE", -1, errno);
            return -1;
        }
        watchdog_log("KEEPALIVE", 0, 0);
        return 0;
    }
    default: {
        char call[32];
        snprintf(call, sizeof(call), "ioctl 0x%lx", request);
        watchdog_log(call, -1, ENOTTY);
        return -1;
    }
    }
}

ssize_t watchdog_write(const OpenFile&, size_t count)
{
    // Any write feeds the watchdog; the bytes themselves are not kept.
    watchdog_log("write " + std::to_string(count), static_cast<long>(count), 0);
    return static_cast<ssize_t>(count);
}

int i2c_ioctl(const OpenFile& f, unsigned long request, unsigned long)
{
    switch (request) {
    case 0x0703:  // I2C_SLAVE
        return fault("I2C_SLAVE", f.path) ? -1 : 0;
    case 0x0706:  // I2C_SLAVE_FORCE
    case 0x0709:  // the SoC driver's register-address width
    case 0x070A:  // the SoC driver's data width
        return 0;
    default: errno = ENOTTY; return -1;
    }
}

// The bus driver sends the register address found in the buffer and returns the register's
// content in its place; registers run on from there for longer reads.
ssize_t i2c_read(int fd, void* buf, size_t count)
{
    if (count == 0)
        return 0;
    auto* bytes = static_cast<uint8_t*>(buf);
    off_t reg = bytes[0];
    ssize_t got = ::pread(fd, bytes, count, reg);
    if (got != static_cast<ssize_t>(count)) {
        errno = EIO;
        return -1;
    }
    return got;
}

ssize_t i2c_write(int fd, const void* buf, size_t count)
{
    if (count == 0)
        return 0;
    const auto* bytes = static_cast<const uint8_t*>(buf);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || bytes[0] + (count - 1) > static_cast<size_t>(st.st_size)) {
        errno = EIO;
        return -1;
    }
    if (count > 1 && ::pwrite(fd, bytes + 1, count - 1, bytes[0]) != static_cast<ssize_t>(count - 1)) {
        errno = EIO;
        return -1;
    }
    return static_cast<ssize_t>(count);
}

}  // namespace sim

// ---- MDIO registers behind /dev/mem

namespace {
constexpr off_t mdio_base = 0x10050000;
constexpr size_t reg_command = 0x3C0, reg_data = 0x3C4, reg_status = 0x3D0;
constexpr uint32_t cmd_start = 1u << 20, cmd_read = 1u << 17;
}  // namespace

void* pf_mmio_map(int fd, size_t length, off_t phys_addr)
{
    State& s = state();
    auto it = s.files.find(fd);
    if (it == s.files.end() || it->second.kind != Kind::mem) {
        errno = it == s.files.end() ? EBADF : ENODEV;
        return nullptr;
    }
    if (fault("mmap", it->second.path))
        return nullptr;
    std::string word;
    if (read_text(s.root + "/sim/mdio", word)) {
        auto w = split_words(word);
        word = w.empty() ? "" : w[0];
    } else {
        word = "nomap";
    }
    MmioWindow win;
    win.length = length;
    win.mdio = phys_addr == mdio_base;
    uint64_t id = 0;
    if (word == "busy") {
        win.mode = MdioMode::busy;
    } else if (word == "nodata") {
        win.mode = MdioMode::nodata;
    } else if (parse_number(word, id) && id <= 0xFFFF) {
        win.mode = MdioMode::phy;
        win.phy_id = static_cast<uint16_t>(id);
    } else {
        errno = EPERM;  // nomap, or a word we do not know
        return nullptr;
    }
    if (length == 0) {
        errno = EINVAL;
        return nullptr;
    }
    void* base = calloc((length + 3) / 4, 4);
    if (!base) {
        errno = ENOMEM;
        return nullptr;
    }
    s.mmio[base] = win;
    return base;
}

int pf_mmio_unmap(void* base, size_t)
{
    State& s = state();
    auto it = s.mmio.find(base);
    if (it == s.mmio.end()) {
        errno = EINVAL;
        return -1;
    }
    free(base);
    s.mmio.erase(it);
    return 0;
}

uint32_t pf_mmio_read32(void* base, size_t offset)
{
    State& s = state();
    auto it = s.mmio.find(base);
    if (it == s.mmio.end() || offset + 4 > it->second.length)
        return 0;
    MmioWindow& w = it->second;
    if (w.mdio) {
        switch (offset) {
        case reg_command: return w.mode == MdioMode::busy ? (w.command | cmd_start) : (w.command & ~cmd_start);
        case reg_data: return w.data;
        case reg_status: return w.status;
        default: break;
        }
    }
    uint32_t v;
    memcpy(&v, static_cast<char*>(base) + offset, sizeof(v));
    return v;
}

void pf_mmio_write32(void* base, size_t offset, uint32_t value)
{
    State& s = state();
    auto it = s.mmio.find(base);
    if (it == s.mmio.end() || offset + 4 > it->second.length)
        return;
    MmioWindow& w = it->second;
    if (w.mdio && offset == reg_command) {
        w.command = value;
        // The controller finishes a read at once unless it is stuck busy.
        if ((value & cmd_start) && (value & cmd_read) && w.mode != MdioMode::busy) {
            unsigned reg = value & 0x1F;
            if (w.mode == MdioMode::nodata) {
                w.status = 1;
                w.data = 0;
            } else {
                w.status = 0;
                w.data = static_cast<uint32_t>(reg == 2 ? w.phy_id : 0) << 16;
            }
        }
        return;
    }
    memcpy(static_cast<char*>(base) + offset, &value, sizeof(value));
}

// ---- Virtual clock and scheduled signals

namespace {

// Sleeps us microseconds of virtual time. Returns false when a scheduled signal cut it short
// (the clock then stands at the signal's time and the signal has been raised).
bool virtual_sleep(uint64_t us, uint64_t* left)
{
    State& s = state();
    uint64_t end = s.now_us + us;
    DueSignal* next = nullptr;
    for (auto& sig : s.signals) {
        if (!sig.raised && sig.ms * 1000 <= end) {
            next = &sig;
            break;
        }
    }
    if (!next) {
        s.now_us = end;
        *left = 0;
        return true;
    }
    if (next->ms * 1000 > s.now_us)
        s.now_us = next->ms * 1000;
    *left = end - s.now_us;
    // Mark first, raise after: a handler may itself sleep.
    std::vector<int> due;
    for (auto& sig : s.signals) {
        if (!sig.raised && sig.ms * 1000 <= s.now_us) {
            sig.raised = true;
            due.push_back(sig.sig);
        }
    }
    for (int sig : due)
        raise(sig);
    return false;
}

}  // namespace

int pf_usleep(unsigned long usec)
{
    uint64_t left = 0;
    if (virtual_sleep(usec, &left))
        return 0;
    errno = EINTR;
    return -1;
}

unsigned pf_sleep(unsigned seconds)
{
    uint64_t left = 0;
    if (virtual_sleep(static_cast<uint64_t>(seconds) * 1000000, &left))
        return 0;
    return static_cast<unsigned>((left + 999999) / 1000000);
}

time_t pf_time() { return static_cast<time_t>(state().now_us / 1000000); }

int pf_clock_gettime(struct timespec* ts)
{
    uint64_t now = state().now_us;
    ts->tv_sec = static_cast<time_t>(now / 1000000);
    ts->tv_nsec = static_cast<long>(now % 1000000) * 1000;
    return 0;
}

// ---- Process, signals, system log

pid_t pf_getpid()
{
    // A fixed number keeps logs that show it comparable from run to run.
    std::string text;
    uint64_t pid = 0;
    if (read_text(state().root + "/sim/pid", text)) {
        auto w = split_words(text);
        if (!w.empty() && parse_number(w[0], pid) && pid > 0 && pid < 4194304)
            return static_cast<pid_t>(pid);
    }
    return 100;
}

// The camera root's files belong to whoever runs the simulated camera, who plays root.
uid_t pf_geteuid() { return ::geteuid(); }

int pf_sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    state();
    return ::sigaction(sig, act, old);
}

void pf_syslog(int priority, const char* message)
{
    std::string line = message ? message : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    append_sim_file("syslog", "<" + std::to_string(priority) + ">" + line);
}
