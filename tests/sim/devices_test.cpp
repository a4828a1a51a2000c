// The shell, the EEPROM bus, the MDIO registers, the watchdog device and the virtual clock.
#include "tests/sim/sim_fixture.h"

#include <linux/watchdog.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <vector>

using namespace simtest;
using qvtest::write_file;

TEST_F(SimTest, ShellCommandsActOnTheRootAndAreLogged)
{
    write_file(dir / "tmp/x", "x");
    write_file(dir / "tmp/y", "y");
    struct Case {
        const char* command;
        int status;
        const char* output;
    };
    const Case cases[] = {
        {"cat /proc/mtd | grep nor0 \n", 0, "mtd1: 00010000 00001000 \"nor0\"\n"},
        {"cat /proc/mtd | grep absent", 0, ""},
        {"cat /proc/mtd ", 0, nullptr},  // the whole file
        {"echo 3 > /proc/sys/vm/drop_caches", 0, ""},
        {"sync", 0, ""},
        {"rm -f /tmp/x", 0, ""},
        {"chmod 777 /tmp/y", 0, ""},
        {"reboot", 0, ""},
        {"reboot &", 0, ""},
        {"killall -USR1 qvserver", 1, ""},
        {"/usr/sbin/flash_erase /dev/mtd2 0 0", 1, ""},
        {"/usr/sbin/flash_erase /dev/mtd9 0 0", 1, ""},
        {"ls /", 127, ""},
    };
    std::string expected_log;
    for (const auto& c : cases) {
        int wait_status = -1;
        std::string out = fd1_output(dir / "fd1", [&] { wait_status = pf_system(c.command); });
        ASSERT_TRUE(WIFEXITED(wait_status)) << c.command;
        EXPECT_EQ(WEXITSTATUS(wait_status), c.status) << c.command;
        EXPECT_EQ(out, c.output ? c.output : file("proc/mtd")) << c.command;
        std::string trimmed = c.command;
        trimmed.erase(trimmed.find_last_not_of(" \n") + 1);
        expected_log += trimmed + "\t" + std::to_string(c.status) + "\n";
    }
    EXPECT_EQ(file("sim/shell.log"), expected_log);
    EXPECT_FALSE(qvtest::file_exists(dir / "tmp/x"));
    struct stat st {};
    ASSERT_EQ(stat((dir / "tmp/y").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777u);

    // qvserver is alive when its pid file names a process folder.
    write_file(dir / "tmp/qvserver", "4242\n");
    ASSERT_EQ(mkdir((dir / "proc/4242").c_str(), 0755), 0);
    EXPECT_EQ(pf_system("killall -USR1 qvserver"), 0);
}

TEST_F(SimTest, CommandOutputBypassesTheProgramsOwnBuffer)
{
    std::string out = fd1_output(dir / "fd1", [] {
        printf("mine ");  // still in our stdio buffer when the command writes
        pf_system("cat /proc/mtd | grep nand0");
    });
    EXPECT_EQ(out, "mtd0: 00040000 00010000 \"nand0\"\nmine ");
}

TEST_F(SimTest, PopenGivesTheOutputAndPcloseTheWaitStatus)
{
    FILE* p = pf_popen("cat /proc/mtd | grep nand0 \n", "r");
    ASSERT_NE(p, nullptr);
    char line[128];
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    EXPECT_STREQ(line, "mtd0: 00040000 00010000 \"nand0\"\n");
    EXPECT_EQ(fgets(line, sizeof line, p), nullptr);
    EXPECT_EQ(pf_pclose(p), 0);

    sim_file("faults", "shell cat /proc/mtd | grep 3\n");
    p = pf_popen("cat /proc/mtd | grep nand0", "r");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(fgets(line, sizeof line, p), nullptr);
    int st = pf_pclose(p);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 3);
}

TEST_F(SimTest, FlashEraseErasesTheGoodBlocksAndShellLinesOverrideIt)
{
    std::string zeros(nand_size, '\0');
    write_file(dir / "dev/mtd0", zeros);
    sim_file("faults", "shell /usr/sbin/flash_erase /dev/mtd0 5\n");
    EXPECT_EQ(pf_system("/usr/sbin/flash_erase /dev/mtd0 0 0"), 5 << 8);
    EXPECT_EQ(flash(0), zeros);

    sim_file("faults", "");
    EXPECT_EQ(pf_system("/usr/sbin/flash_erase /dev/mtd0 0 0"), 0);
    std::string now = flash(0);
    std::string erased_block(nand_block, '\xFF');
    EXPECT_EQ(now.substr(0, 2 * nand_block), erased_block + erased_block);
    EXPECT_EQ(now.substr(2 * nand_block, nand_block), std::string(nand_block, '\0'));  // bad: skipped
    EXPECT_EQ(now.substr(3 * nand_block), erased_block);
    EXPECT_EQ(file("sim/shell.log"), "/usr/sbin/flash_erase /dev/mtd0 0 0\t5\n/usr/sbin/flash_erase /dev/mtd0 0 0\t0\n");
    EXPECT_EQ(stats("nand0")["erased"], 3);
}

TEST_F(SimTest, EepromRegistersAnswerOneByteReads)
{
    write_file(dir / "dev/i2c-3", "QVZ");
    int fd = pf_open("/dev/i2c-3", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pf_ioctl_arg(fd, 0x0703, 0xA0), 0);
    EXPECT_EQ(pf_ioctl_arg(fd, 0x0709, 0), 0);
    EXPECT_EQ(pf_ioctl_arg(fd, 0x070A, 0), 0);
    const struct {
        uint8_t reg;
        ssize_t result;
        char value;
    } reads[] = {{0, 1, 'Q'}, {2, 1, 'Z'}, {1, 1, 'V'}, {3, -1, 0}, {200, -1, 0}};
    for (const auto& r : reads) {
        char b = static_cast<char>(r.reg);
        errno = 0;
        EXPECT_EQ(pf_read(fd, &b, 1), r.result) << int(r.reg);
        if (r.result == 1) {
            EXPECT_EQ(b, r.value);
        } else {
            EXPECT_EQ(errno, EIO);
        }
    }
    pf_close(fd);
    unlink((dir / "dev/i2c-3").c_str());
    EXPECT_EQ(pf_open("/dev/i2c-3", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(SimTest, MdioControllerFollowsTheWordInSimMdio)
{
    constexpr uint32_t busy = 1u << 20;
    constexpr uint32_t read_phy4_reg2 = 0x120000 | (4 << 8) | 2;
    write_file(dir / "dev/mem", "");
    struct Case {
        const char* word;  // nullptr: no sim/mdio
        bool maps;
        bool stays_busy;
        uint32_t status;
        uint32_t value;
    };
    const Case cases[] = {
        {"0x001c\n", true, false, 0, 0x001c}, {"0x0022", true, false, 0, 0x0022}, {"busy", true, true, 0, 0},
        {"nodata", true, false, 1, 0},        {"nomap", false, false, 0, 0},      {nullptr, false, false, 0, 0},
    };
    for (const auto& c : cases) {
        std::string what = c.word ? c.word : "(missing)";
        if (c.word) {
            sim_file("mdio", c.word);
        } else {
            unlink((dir / "sim/mdio").c_str());
            sim_reset();
        }
        int fd = pf_open("/dev/mem", O_RDWR | O_SYNC);
        ASSERT_GE(fd, 0);
        void* base = pf_mmio_map(fd, 1024, 0x10050000);
        EXPECT_EQ(base != nullptr, c.maps) << what;
        if (!base) {
            EXPECT_EQ(errno, EPERM) << what;
            pf_close(fd);
            continue;
        }
        EXPECT_EQ((pf_mmio_read32(base, 0x3C0) & busy) != 0, c.stays_busy) << what;
        pf_mmio_write32(base, 0x3C0, 0);
        pf_mmio_write32(base, 0x3C0, read_phy4_reg2);
        EXPECT_EQ((pf_mmio_read32(base, 0x3C0) & busy) != 0, c.stays_busy) << what;
        if (!c.stays_busy) {
            EXPECT_EQ(pf_mmio_read32(base, 0x3D0) & 1, c.status) << what;
            EXPECT_EQ(pf_mmio_read32(base, 0x3C4) >> 16, c.value) << what;
        }
        EXPECT_EQ(pf_mmio_unmap(base, 1024), 0);
        pf_close(fd);
    }
}

TEST_F(SimTest, WatchdogCallsAreLoggedWithVirtualTime)
{
    write_file(dir / "dev/watchdog", "");
    sim_file("faults", "fail KEEPALIVE /dev/watchdog 2 EIO\n");
    int fd = pf_open("/dev/watchdog", O_RDWR);
    ASSERT_GT(fd, 0);
    int timeout = 45;
    EXPECT_EQ(pf_ioctl(fd, WDIOC_SETTIMEOUT, &timeout), 0);
    timeout = 0;
    EXPECT_EQ(pf_ioctl(fd, WDIOC_GETTIMEOUT, &timeout), 0);
    EXPECT_EQ(timeout, 45);
    for (int i = 0; i < 2; ++i) {
        pf_usleep(5000000);
        pf_ioctl_arg(fd, WDIOC_KEEPALIVE, 0);
    }
    pf_usleep(250000);
    EXPECT_EQ(pf_close(fd), 0);
    EXPECT_EQ(file("sim/watchdog.log"),
              "0 open 0\n"
              "0 SETTIMEOUT 45 0\n"
              "0 GETTIMEOUT 45\n"
              "5000 KEEPALIVE 0\n"
              "10000 KEEPALIVE -1 EIO\n"
              "10250 close 0\n");

    unlink((dir / "dev/watchdog").c_str());
    unlink((dir / "sim/watchdog.log").c_str());
    EXPECT_EQ(pf_open("/dev/watchdog", O_RDWR), -1);
    EXPECT_EQ(file("sim/watchdog.log"), "10250 open -1 ENOENT\n");
}

namespace {
std::vector<std::pair<int, long>> g_raised;  // signal, virtual ms when it arrived
void record(int sig)
{
    timespec ts {};
    pf_clock_gettime(&ts);
    g_raised.emplace_back(sig, ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}
}  // namespace

TEST_F(SimTest, SleepsAdvanceTheClockAndScheduledSignalsCutThemShort)
{
    sim_file("signals", "550 SIGUSR1\n1200 SIGTERM\n550 USR2\n");
    struct sigaction act {}, old[3];
    act.sa_handler = record;
    const int sigs[] = {SIGUSR1, SIGUSR2, SIGTERM};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(pf_sigaction(sigs[i], &act, &old[i]), 0);
    g_raised.clear();

    EXPECT_EQ(pf_time(), 0);
    for (int tick = 1; tick <= 5; ++tick)
        EXPECT_EQ(pf_usleep(100000), 0);
    EXPECT_TRUE(g_raised.empty());
    EXPECT_EQ(pf_usleep(100000), -1);  // 500 -> 600 passes 550
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(g_raised, (std::vector<std::pair<int, long>> {{SIGUSR1, 550}, {SIGUSR2, 550}}));
    EXPECT_EQ(pf_usleep(100000), 0);  // 550 -> 650
    EXPECT_EQ(pf_sleep(1), 1u);        // cut at 1200 with 0.45 s left
    EXPECT_EQ(g_raised.back(), std::make_pair(SIGTERM, 1200L));
    EXPECT_EQ(pf_sleep(2), 0u);
    EXPECT_EQ(pf_time(), 3);
    timespec ts {};
    pf_clock_gettime(&ts);
    EXPECT_EQ(ts.tv_sec, 3);
    EXPECT_EQ(ts.tv_nsec, 200000000L);
    EXPECT_EQ(g_raised.size(), 3u);

    for (int i = 0; i < 3; ++i)
        pf_sigaction(sigs[i], &old[i], nullptr);
}

TEST_F(SimTest, SyslogAndProcessId)
{
    pf_syslog(3, "qvserver is dead\n");
    pf_syslog(6, "second");
    EXPECT_EQ(file("sim/syslog"), "<3>qvserver is dead\n<6>second\n");
    EXPECT_EQ(pf_getpid(), 100);
    sim_file("pid", "777\n");
    EXPECT_EQ(pf_getpid(), 777);
}
