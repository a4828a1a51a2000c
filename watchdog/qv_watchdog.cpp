// The configuration file and the hardware watchdog device.
#include "common/unique_file.h"
#include "watchdog/watchdog.h"

#include "libqvstd/qvstd.h"
#include "platform/platform.h"
#include "watchdog/log.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <linux/watchdog.h>
#include <string_view>

int watchdog_fd = -1;

namespace {

constexpr char log_unit[] = "qv_watchdog";
constexpr const char* conf_dir = "/mnt/nand";
constexpr const char* conf_name = "watchdog.conf";
constexpr const char* watchdog_device = "/dev/watchdog";
constexpr int watchdog_timeout_s = 45;

// "watchdog", any separator, then "no" in any case; what follows does not matter.
bool switches_off(std::string_view line)
{
    return line.size() >= 11 && line.substr(0, 8) == "watchdog" &&
           tolower(static_cast<unsigned char>(line[9])) == 'n' &&
           tolower(static_cast<unsigned char>(line[10])) == 'o';
}

}  // namespace

int read_watchdog_conf()
{
    std::array<char, 256> path{};
    snprintf(path.data(), path.size(), "%s/%s", conf_dir, conf_name);
    FILE* f = pf_fopen(path.data(), "r");
    if (!f) {
        printf("\n =======open watchdog conf failed ===== \n");
        return 1;
    }
    UniqueFile closer(f);
    for (;;) {
        // A longer line arrives in pieces, each examined on its own.
        std::array<char, 64> line{};
        if (!fgets(line.data(), static_cast<int>(line.size()), f))
            return 1;
        qv_string_strip(line.data(), ' ');
        if (switches_off(line.data())) {
            WD_NOTICE("[%s %d] ======== watchdog=no watch dog closed! ============func:%s file:%s line:%d\n");
            return 0;
        }
    }
}

int watchdog_start()
{
    if (watchdog_fd >= 0)
        return 1;
    if (read_watchdog_conf() == 0)
        return -1;
    printf("\n ===== watchdog start 1111111 =========== \n");
    watchdog_fd = watchdog_open();
    return watchdog_fd < 0 ? -1 : 0;
}

int watchdog_open()
{
    // Descriptor 0 is valid: it is what we get when standard input is closed.
    int fd = pf_open(watchdog_device, O_RDWR);
    if (fd < 0) {
        printf("watchdog open failed");
        return -1;
    }
    int timeout = watchdog_timeout_s;
    if (pf_ioctl(fd, WDIOC_SETTIMEOUT, &timeout) < 0)
        perror("ioctl");
    if (pf_ioctl(fd, WDIOC_GETTIMEOUT, &timeout) < 0)
        perror("ioctl");
    return fd;
}

int watchdog_keepalive(int fd)
{
    if (fd < 0)
        return -1;
    // Pings stop during a reboot, so the hardware resets the camera if the reboot hangs.
    if (qv_is_reboot())
        return 0;
    int unused = 0;
    return pf_ioctl(fd, WDIOC_KEEPALIVE, &unused);
}

void watchdog_feed()
{
    if (watchdog_fd < 0)
        return;
    int ret = watchdog_keepalive(watchdog_fd);
    if (ret != 0)
        printf("\n ===== watchdog keep alive faield, fd:[%d], ret:[%d] ======== \n", watchdog_fd, ret);
}

void watchdog_close()
{
    // No magic-close character: the hardware keeps counting after we are gone.
    if (watchdog_fd >= 0) {
        pf_close(watchdog_fd);
        watchdog_fd = -1;
    }
}
