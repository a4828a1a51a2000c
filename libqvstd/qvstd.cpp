#include "libqvstd/qvstd.h"

#include "common/shell.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char* debug_mask_path = "/tmp/qv_debug_mask";
constexpr const char* rebooting_path = "/tmp/qv_rebooting";
constexpr int default_debug_mask = 1;

int format_local(time_t t, char* buf, size_t size)
{
    if (size == 0)
        return 0;
    buf[0] = '\0';
    struct tm tm_local {};
    if (!localtime_r(&t, &tm_local))
        return 0;
    size_t len = strftime(buf, size, "%Y-%m-%d %H:%M:%S", &tm_local);
    if (len == 0)
        buf[0] = '\0';  // strftime leaves a text that does not fit undefined
    return static_cast<int>(len);
}

}  // namespace

int time_to_string(time_t t, char* buf, size_t size) { return format_local(t, buf, size); }

int time_to_string_ms(char* buf, size_t size)
{
    struct timespec now {};
    pf_clock_gettime(&now);
    int len = format_local(now.tv_sec, buf, size);
    if (len == 0)
        return 0;
    int n = snprintf(buf + len, size - static_cast<size_t>(len), ".%03ld",
                     static_cast<long>(now.tv_nsec / 1000000));
    if (n < 0 || static_cast<size_t>(n) >= size - static_cast<size_t>(len)) {
        buf[0] = '\0';
        return 0;
    }
    return len + n;
}

int debug_get_mask()
{
    int fd = pf_open(debug_mask_path, O_RDONLY);
    if (fd < 0)
        return default_debug_mask;
    std::array<char, 32> text{};
    ssize_t n = pf_read(fd, text.data(), text.size() - 1);
    pf_close(fd);
    if (n <= 0)
        return default_debug_mask;

    char* end = nullptr;
    long value = strtol(text.data(), &end, 10);
    if (end == text.data())
        return default_debug_mask;
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

int _qv_log(const char* level, const char* line)
{
    // The daemon logs only errors; the level text is not recorded.
    (void)level;
    pf_syslog(LOG_ERR, line ? line : "");
    return 0;
}

int qv_system(const char* command) { return shell_run(command); }

int qv_is_reboot() { return pf_access(rebooting_path, F_OK) == 0 ? 1 : 0; }

char* qv_string_strip(char* s, char c)
{
    if (!s)
        return s;
    size_t len = strlen(s);
    while (len > 0 && (s[len - 1] == '\n' || s[len - 1] == '\r'))
        --len;
    while (len > 0 && s[len - 1] == c)
        --len;
    size_t start = 0;
    while (start < len && s[start] == c)
        ++start;
    memmove(s, s + start, len - start);
    s[len - start] = '\0';
    return s;
}
