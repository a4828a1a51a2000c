// camsim: a factory-fresh camera, its boot loader, its counters.
#include "common/crc32.h"
#include "tests/support/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace qvtest;

namespace {

constexpr size_t copy_size = 0x40000;

std::string camsim(const std::vector<std::string>& args, int expected_status = 0)
{
    RunResult r = run(bin("camsim"), args);
    EXPECT_EQ(r.status, expected_status) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
}

// An environment copy made the way the boot loader expects it.
std::string env_copy(const std::vector<std::string>& vars, uint8_t flag, bool good_crc = true)
{
    std::string copy(copy_size, '\0');
    size_t at = 5;
    for (const auto& v : vars) {
        memcpy(&copy[at], v.data(), v.size());
        at += v.size() + 1;
    }
    copy[4] = static_cast<char>(flag);
    uint32_t crc = crc32(0, copy.data() + 5, copy_size - 5) ^ (good_crc ? 0 : 1);
    memcpy(&copy[0], &crc, 4);  // little-endian, as on the camera
    return copy;
}

std::string record(const char* name, uint32_t size)
{
    char text[128];
    snprintf(text, sizeof text, "name:%s\tver:0x01070050\tsize:%u\tdate:0x07ea0101 ", name, size);
    return text;
}

std::string hex(uint32_t v)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

uint32_t crc_of(const std::string& bytes) { return crc32(0, bytes.data(), bytes.size()); }

// Replaces the start of a device file, keeping its length.
void put(const std::string& path, const std::string& bytes, size_t at = 0)
{
    std::string all = read_file(path);
    all.replace(at, bytes.size(), bytes);
    write_file(path, all);
}

}  // namespace

TEST(Camsim, InitMakesTheFactoryLayout)
{
    struct Layout {
        std::vector<std::string> args;
        std::vector<const char*> sizes;
    };
    const Layout layouts[] = {
        {{}, {"0x100000", "0x80000", "0x80000", "0x800000", "0x800000", "0x2800000", "0x2800000", "0x400000",
              "0x400000", "0x400000", "0x100000"}},
        {{"--small"}, {"0x40000", "0x80000", "0x80000", "0x100000", "0x100000", "0x200000", "0x200000", "0x40000",
                       "0x40000", "0x40000", "0x40000"}},
    };
    const char* names[] = {"uboot", "env1", "env2", "ker1", "ker2", "fs1", "fs2", "cfg", "oem", "rsd", "lorawanns"};
    for (const auto& l : layouts) {
        TempDir dir;
        std::vector<std::string> args = {"init", dir / "cam"};
        args.insert(args.end(), l.args.begin(), l.args.end());
        camsim(args);
        std::string conf = "# mtdN NAME SIZE ERASESIZE WRITESIZE OOBSIZE TYPE [bad=I,J,...]\n";
        std::string proc_mtd = "dev:    size   erasesize  name\n";
        for (int i = 0; i < 11; ++i) {
            conf += "mtd" + std::to_string(i) + " " + names[i] + " " + l.sizes[i] + " 0x20000 2048 64 nand\n";
            char line[64];
            snprintf(line, sizeof line, "mtd%d: %08lx 00020000 \"%s\"\n", i, strtoul(l.sizes[i], nullptr, 16), names[i]);
            proc_mtd += line;
            struct stat st {};
            ASSERT_EQ(stat((dir / ("cam/dev/mtd" + std::to_string(i))).c_str(), &st), 0);
            EXPECT_EQ(static_cast<unsigned long>(st.st_size), strtoul(l.sizes[i], nullptr, 16)) << names[i];
        }
        EXPECT_EQ(read_file(dir / "cam/flash.conf"), conf);
        EXPECT_EQ(read_file(dir / "cam/proc/mtd"), proc_mtd);
        std::string cmdline = read_file(dir / "cam/proc/cmdline");
        EXPECT_NE(cmdline.find(" ubi.mtd=fs1 "), std::string::npos) << cmdline;
        EXPECT_EQ(read_file(dir / "cam/dev/i2c-3").substr(0, 32), "QVZ27R0807TA502G0100P77770000000");
        EXPECT_TRUE(file_exists(dir / "cam/dev/watchdog"));

        // Both copies valid and equal apart from the counter; what they say is realistic.
        std::string env1 = read_file(dir / "cam/dev/mtd1"), env2 = read_file(dir / "cam/dev/mtd2");
        for (const std::string* env : {&env1, &env2}) {
            uint32_t stored;
            memcpy(&stored, env->data(), 4);
            EXPECT_EQ(stored, crc32(0, env->data() + 5, copy_size - 5));
            EXPECT_EQ(env->substr(copy_size), std::string(env->size() - copy_size, '\xFF'));
        }
        EXPECT_EQ(env1.substr(5, copy_size - 5), env2.substr(5, copy_size - 5));
        std::string vars = env1.substr(5, 4096);
        for (const char* needle : {"bootargs=mem=64M console=ttyAMA0,115200 ubi.mtd=fs1 ", "bootcmd=nand read 0x42000000 ker1 ",
                                   "ipaddr=", "ethaddr=", "ker1=name:ker1\tver:0x01070049\tsize:",
                                   "fs1=name:fs1\tver:0x01070049\tsize:"})
            EXPECT_NE(vars.find(needle), std::string::npos) << needle;

        std::string stats = camsim({"stats", dir / "cam"});
        EXPECT_EQ(stats.substr(0, stats.find('\n')),
                  "mtd0 uboot erased=0 programmed=0 read=0 program_without_erase=0 bad_block_writes=0");
        EXPECT_EQ(std::count(stats.begin(), stats.end(), '\n'), 11);
    }
}

TEST(Camsim, BootFollowsTheEnvironmentCopyTheBootLoaderPicks)
{
    TempDir dir;
    std::string cam = dir / "cam";
    camsim({"init", cam, "--small"});
    const std::string ker1 = read_file(cam + "/dev/mtd3"), fs1 = read_file(cam + "/dev/mtd5");
    auto factory_record = [&](const char* name) {
        std::string env = read_file(cam + "/dev/mtd1");
        size_t at = env.find(std::string(name) + "=name:");
        return static_cast<uint32_t>(std::stoul(env.substr(env.find("size:", at) + 5)));
    };
    const uint32_t ker1_size = factory_record("ker1"), fs1_size = factory_record("fs1");
    const std::string bank1 = "kernel ker1 size " + std::to_string(ker1_size) + " crc32 " +
                              hex(crc_of(ker1.substr(0, ker1_size))) + "\nrootfs fs1 size " +
                              std::to_string(fs1_size) + " crc32 " + hex(crc_of(fs1.substr(0, fs1_size))) + "\n";

    // Bank 2 firmware, its kernel laid past a bad block as a correct writer leaves it.
    std::string conf = read_file(cam + "/flash.conf");
    conf.replace(conf.find("ker2 0x100000 0x20000 2048 64 nand"), 34, "ker2 0x100000 0x20000 2048 64 nand bad=1");
    write_file(cam + "/flash.conf", conf);
    std::string kernel2(300 * 1024, '\0'), rootfs2(200 * 1024, '\0');
    for (size_t i = 0; i < kernel2.size(); ++i)
        kernel2[i] = static_cast<char>(i * 13 + (i >> 10));
    for (size_t i = 0; i < rootfs2.size(); ++i)
        rootfs2[i] = static_cast<char>(i * 29 + 1);
    put(cam + "/dev/mtd4", kernel2.substr(0, 0x20000));
    put(cam + "/dev/mtd4", kernel2.substr(0x20000), 0x40000);
    put(cam + "/dev/mtd6", rootfs2);
    const std::string bank2 = "kernel ker2 size 307200 crc32 " + hex(crc_of(kernel2)) +
                              "\nrootfs fs2 size 204800 crc32 " + hex(crc_of(rootfs2)) + "\n";

    const std::string args2 = "bootargs=console=ttyAMA0,115200 ubi.mtd=fs2 root=ubi0:rootfs";
    const std::vector<std::string> vars2 = {args2, "bootcmd=nand read 0x42000000 ker2 0x100000; bootm",
                                            "ker2=" + record("ker2", 307200), "fs2=" + record("fs2", 204800)};
    const std::vector<std::string> vars1 = {
        "bootargs=console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs", "bootcmd=nand read 0x42000000 ker1 0x100000",
        "ker1=" + record("ker1", ker1_size), "fs1=" + record("fs1", fs1_size)};
    std::vector<std::string> mixed = vars1;
    mixed[0] = args2;

    struct Case {
        const char* what;
        std::string copy0, copy1;
        std::string out;
        int status;
        std::string cmdline;
    };
    const Case cases[] = {
        {"higher counter wins", env_copy(vars1, 5), env_copy(vars2, 6), "environment copy 1\n" + bank2 + "bank 2\n", 0,
         args2.substr(9)},
        {"0 in copy 1 beats 0xFF in copy 0", env_copy(vars1, 0xFF), env_copy(vars2, 0),
         "environment copy 1\n" + bank2 + "bank 2\n", 0, args2.substr(9)},
        {"equal counters: copy 0", env_copy(vars1, 7), env_copy(vars2, 7), "environment copy 0\n" + bank1 + "bank 1\n",
         0, vars1[0].substr(9)},
        {"bad CRC loses", env_copy(vars2, 1), env_copy(vars1, 9, false),
         "environment copy 0\n" + bank2 + "bank 2\n", 0, args2.substr(9)},
        {"kernel and root filesystem of different banks", env_copy(mixed, 1), env_copy(mixed, 1, false),
         "environment copy 0\nkernel ker1 size " + std::to_string(ker1_size) + " crc32 " +
             hex(crc_of(ker1.substr(0, ker1_size))) + "\nrootfs fs2 size 0 crc32 0x00000000\nbank none\n",
         1, args2.substr(9)},
        {"neither copy intact", env_copy(vars1, 1, false), env_copy(vars2, 2, false),
         "environment default\nkernel none\nrootfs none\nbank none\n", 1, ""},
    };
    for (const auto& c : cases) {
        put(cam + "/dev/mtd1", c.copy0);
        put(cam + "/dev/mtd2", c.copy1);
        EXPECT_EQ(camsim({"boot", cam}, c.status), c.out) << c.what;
        EXPECT_EQ(read_file(cam + "/proc/cmdline"), c.cmdline + "\n") << c.what;
    }
}

TEST(Camsim, FreshCameraBootsBankOne)
{
    TempDir dir;
    std::string cam = dir / "cam";
    camsim({"init", cam, "--small"});
    std::string cmdline = read_file(cam + "/proc/cmdline");
    write_file(cam + "/proc/cmdline", "stale\n");
    std::string out = camsim({"boot", cam});
    EXPECT_EQ(out.substr(0, out.find('\n')), "environment copy 0");
    EXPECT_NE(out.find("\nkernel ker1 size 524288 crc32 0x"), std::string::npos) << out;
    EXPECT_NE(out.find("\nrootfs fs1 size 1048576 crc32 0x"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.rfind("bank")), "bank 1\n");
    EXPECT_EQ(read_file(cam + "/proc/cmdline"), cmdline);
}

TEST(Camsim, UsageErrors)
{
    for (const auto& args : std::vector<std::vector<std::string>> {{}, {"init"}, {"frob", "/tmp"}, {"init", "/tmp/x", "--big"}}) {
        RunResult r = run(bin("camsim"), args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("usage: camsim"), std::string::npos);
    }
}
