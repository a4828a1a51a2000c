// The options of update that work on the boot environment, run as the camera runs them.
#include "tests/env/env_fixture.h"

#include "platform/platform.h"

#include <cstdio>

using namespace envtest;
using qvtest::bin;
using qvtest::RunResult;

namespace {

class Program : public EnvCamera {
protected:
    RunResult update(const std::vector<std::string>& args)
    {
        RunResult r = qvtest::run(bin("update-sim"), args, root);
        sim_reset();
        return r;
    }
    void lay_out(const Entries& e)
    {
        write_copy(0, 7, data_area(e));
        write_copy(1, 6, data_area(e));
        sim_reset();
    }
    std::string shell_log() const
    {
        return qvtest::file_exists(dir / "sim/shell.log") ? qvtest::read_file(dir / "sim/shell.log")
                                                          : "";
    }
};

Entries with(Entries e, const std::string& key, const std::string& value)
{
    for (auto it = e.begin(); it != e.end(); ++it)
        if (it->rfind(key + "=", 0) == 0) {
            e.erase(it);
            break;
        }
    e.push_back(key + "=" + value);
    return e;
}

struct OptionCase {
    std::vector<std::string> args;
    const char* key;
    std::string value;
    const char* failure;
};

const std::vector<OptionCase>& option_cases()
{
    static const std::vector<OptionCase> cases{
        {{"-N", "QV-000123"}, "sn", "QV-000123", "update sn faild.\n"},
        {{"--sn", std::string(40, 's')}, "sn", std::string(32, 's'), "update sn faild.\n"},
        {{"-C", "console=ttyS0 ubi.mtd=fs2"}, "bootargs", "console=ttyS0 ubi.mtd=fs2",
         "update cmdline faild.\n"},
        {{"--bootargs", "a b c"}, "bootargs", "a b c", "update bootargs failed. \n"},
        {{"--bootcmd", "nand read 0x42000000 ker2; bootm"}, "bootcmd",
         "nand read 0x42000000 ker2; bootm", "update bootcmd failed. \n"},
        {{"-D", "0x107"}, "bootdelay", "7", "update bootdelay faild.\n"},
        {{"--delay", "0"}, "bootdelay", "0", "update bootdelay faild.\n"},
        {{"--pri_file", "upfw.bin"}, "bootfile", "upfw.bin", "update pri_file faild.\n"},
        {{"--serverip", "192.168.1.10"}, "serverip", "192.168.1.10",
         "update tftpd ip address faild.\n"},
        {{"-E", "00:0c:29:aa:bb:cc"}, "ethaddr", "00:0c:29:aa:bb:cc", "update eth0 mac faild.\n"},
        {{"--eth0_ip", "192.168.1.20"}, "ipaddr", "192.168.1.20", "update eth0 ip address faild.\n"},
        {{"--eth0_mask", "255.255.255.0"}, "netmask", "255.255.255.0",
         "update eth0 netmask faild.\n"},
        {{"--eth0_gw", "192.168.1.1"}, "gateway", "192.168.1.1", "update eth0 gateway faild.\n"},
        {{"-W", "00:0c:29:dd:ee:ff"}, "wifimac", "00:0c:29:dd:ee:ff", "update wifi0 mac faild.\n"},
        {{"--wifi0_ip", "10.0.0.2"}, "wifiip", "10.0.0.2", "update wifi0 ip address faild.\n"},
        {{"--wifi0_mask", "255.0.0.0"}, "wifinm", "255.0.0.0", "update wifi0 netmask faild.\n"},
        {{"--wifi0_gw", "10.0.0.1"}, "wifigw", "10.0.0.1", "update wifi0 gateway faild.\n"},
    };
    return cases;
}

}  // namespace

TEST_F(Program, EveryOptionThatSetsAVariableStoresItInBothCopies)
{
    for (const auto& c : option_cases()) {
        SCOPED_TRACE(c.args[0]);
        lay_out(camera_env());
        RunResult r = update(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        const Entries expected = with(camera_env(), c.key, c.value);
        for (int copy = 0; copy < 2; ++copy) {
            Copy on_flash = read_copy(copy);
            EXPECT_TRUE(on_flash.crc_ok);
            EXPECT_EQ(on_flash.entries, expected);
        }
        EXPECT_EQ(read_copy(0).flag, 9);
        EXPECT_EQ(read_copy(1).flag, 8);
        EXPECT_TRUE(second_halves_intact());
    }
}

TEST_F(Program, AFailedSaveGivesTheOptionsFailureTextAndKeepsTheOldEnvironment)
{
    for (const auto& c : option_cases()) {
        SCOPED_TRACE(c.args[0]);
        lay_out(camera_env());
        set_faults("fail MEMERASE /dev/mtd1 1+ EIO\nfail MEMERASE /dev/mtd2 1+ EIO\n");
        RunResult r = update(c.args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, std::string("MTD erase error on /dev/mtd2: Input/output error\n"
                                     "MTD erase error on /dev/mtd1: Input/output error\n"
                                     "Error: can't write fw_env to flash\n") +
                             c.failure);
        EXPECT_EQ(r.out.rfind("Usage:\n", 0), 0u);
        set_faults("");
        EXPECT_EQ(reopen(), camera_env());
    }
}

TEST_F(Program, ShowListsRecordsBySizeThenTheMtdTableAndEveryVariable)
{
    Entries env = camera_env();
    env.push_back("ker2=name:ker2\tver:0x00000000\tsize:1024\tdate:0x07e40102 ");
    env.push_back("fs2=name:fs2\tver:0x02000001\tsize:0\tdate:0x07e40102 ");
    lay_out(env);
    RunResult r = update({"--show"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string expected =
        "Quovera update version: 1.0.1 \n"
        "ker1:(current)\n"
        "\tversion = 1.7.0.73\n"
        "\tsize    = 0x00400000 (4096 K)\n"
        "\tdate    = 2021/3/15\n"
        "ker2:\n"
        "\tversion = 0.0.0.0\n"
        "\tsize    = 0x00000400 (1 K)\n"
        "\tdate    = 2020/1/2\n"
        "fs1:(current)\n"
        "\tversion = 1.7.0.73\n"
        "\tsize    = 0x00200000 (2048 K)\n"
        "\tdate    = 2021/3/15\n"
        "\nMore details:\n\n"
        "Mtd information: \n" +
        qvtest::read_file(dir / "proc/mtd");
    for (const auto& e : env)
        expected += e + "\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(shell_log(), "cat /proc/mtd\t0\n");
}

TEST_F(Program, VersionListsRecordsByVersion)
{
    Entries env = camera_env();
    env.push_back("ker2=name:ker2\tver:0x00000000\tsize:1024\tdate:0x07e40102 ");
    env.push_back("fs2=name:fs2\tver:0x02000001\tsize:0\tdate:0x07e40102 ");
    lay_out(env);
    RunResult r = update({"-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Quovera update version: 0.1.0.1\n"
                     "ker1:(current)\n"
                     "\tversion = 1.7.0.73\n"
                     "\tsize    = 4096 K\n"
                     "\tdate    = 2021/3/15\n"
                     "fs1:(current)\n"
                     "\tversion = 1.7.0.73\n"
                     "\tsize    = 2048 K\n"
                     "\tdate    = 2021/3/15\n"
                     "fs2:\n"
                     "\tversion = 2.0.0.1\n"
                     "\tsize    = 0 K\n"
                     "\tdate    = 2020/1/2\n");
}

TEST_F(Program, PartitionHeaderMarksCurrentThenNfs)
{
    struct Case {
        const char* bootargs;
        const char* bootcmd;
        const char* headers;  // of fs1, fs2, ker1
    } cases[] = {
        {"ubi.mtd=fs1", "nand read ker1", "fs1:(current)\nfs2:\nker1:(current)\n"},
        {"root=/dev/nfs nfsroot=10.0.0.1:/srv", "bootm", "fs1:(nfs)\nfs2:(nfs)\nker1:\n"},
        {"root=/dev/nfs", "ubi fs2; ker1", "fs1:(nfs)\nfs2:(current)\nker1:(current)\n"},
        {nullptr, nullptr, "fs1:\nfs2:\nker1:\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bootargs ? c.bootargs : "none");
        Entries env;
        if (c.bootargs)
            env = {std::string("bootargs=") + c.bootargs, std::string("bootcmd=") + c.bootcmd};
        for (const char* name : {"ker1", "fs1", "fs2"})
            env.push_back(std::string(name) + "=name:" + name + "\tver:0x1\tsize:1\tdate:0x1 ");
        lay_out(env);
        RunResult r = update({"-v"});
        std::string headers;
        for (size_t pos = 0; pos < r.out.size();) {
            size_t nl = r.out.find('\n', pos);
            std::string line = r.out.substr(pos, nl - pos + 1);
            if (line[0] != '\t' && line.rfind("Quovera", 0) != 0)
                headers += line;
            pos = nl + 1;
        }
        // PartitionNames order: ker1 before fs1 and fs2.
        std::string expected = c.headers;
        size_t ker = expected.find("ker1");
        expected = expected.substr(ker) + expected.substr(0, ker);
        EXPECT_EQ(headers, expected);
    }
}

TEST_F(Program, ShowOnTheDefaultEnvironment)
{
    for (int c = 0; c < 2; ++c) {
        std::string dev = read_dev(c);
        dev.replace(0, env_copy_size, std::string(env_copy_size, '\xFF'));
        qvtest::write_file(dev_path(c), dev);
    }
    RunResult r = update({"--show"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: Bad CRC, using default environment\n");
    EXPECT_EQ(r.out, "Quovera update version: 1.0.1 \n\nMore details:\n\nMtd information: \n" +
                         qvtest::read_file(dir / "proc/mtd") +
                         "bootcmd=bootp; setenv bootargs root=/dev/nfs "
                         "nfsroot=${serverip}:${rootpath} "
                         "ip=${ipaddr}:${serverip}:${gatewayip}:${netmask}:${hostname}::off; bootm\n"
                         "bootdelay=5\nbaudrate=115200\n");
}

TEST_F(Program, ShowWithoutAnEnvironmentSaysSoAndListsNothing)
{
    std::remove(dev_path(1).c_str());
    const std::string before = read_dev(0);
    RunResult r = update({"--show", "-D", "3"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Cannot access MTD device /dev/mtd2: No such file or directory\n"
                     "flprog_get_part_table faild!\n"
                     "hs_printenv faild!\n"
                     "Error: environment not available\n"
                     "update bootdelay faild.\n");
    EXPECT_EQ(r.out.rfind("Quovera update version: 1.0.1 \n\nMore details:\n\nMtd information: \n" +
                              qvtest::read_file(dir / "proc/mtd") + "Usage:\n",
                          0),
              0u);
    EXPECT_EQ(read_dev(0), before);
}

TEST_F(Program, SwitchPointsTheBootTextsAtTheBankAndReboots)
{
    const std::string defaults =
        "mem=256M console=ttyAMA0,115200 ubi.mtd=fs%d root=ubi0:rootfs rw rootfstype=ubifs "
        "init=/linuxrc";
    auto defaults_for = [&](int id) {
        std::string s = defaults;
        s.replace(s.find("%d"), 2, std::to_string(id));
        return s;
    };
    const std::string nfs = "root=/dev/nfs nfsroot=10.0.0.1:/srv ip=dhcp";
    struct Case {
        const char* id;
        std::string bootargs, bootcmd;
        std::string new_bootargs, new_bootcmd;  // empty: nothing stored
        std::string err;
    } cases[] = {
        {"2", "console=ttyAMA0 ubi.mtd=fs1 root=ubi0:rootfs", "nand read 0x42000000 ker1; bootm",
         "console=ttyAMA0 ubi.mtd=fs2 root=ubi0:rootfs", "nand read 0x42000000 ker2; bootm", ""},
        {"1", "ubi.mtd=fs1", "ker1", "ubi.mtd=fs1", "ker1", ""},  // the bank in use: same values
        {"1", nfs, "nand read ker2 ker2", defaults_for(1), "nand read ker1 ker2", ""},
        {"2", nfs, "ker1", defaults_for(2), "ker2", ""},
        {"1", "ubi.mtd=fs2", "bootm", "", "", "Can't find kernel partition!\n"},
        {"2", "ubi.mtd=fs1 " + std::string(600, 'x'), "ker1", "", "",
         "get_env_mtd_table faild!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.id) + " " + c.bootargs.substr(0, 40) + " / " + c.bootcmd);
        const Entries env{"bootargs=" + c.bootargs, "bootcmd=" + c.bootcmd, "x=1"};
        lay_out(env);
        std::remove((dir / "sim/shell.log").c_str());
        RunResult r = update({"-S", c.id});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, std::string("\tFilesys will switch to fs") + c.id + " after reboot!\n");
        EXPECT_EQ(shell_log(), "reboot\t0\n");
        Copy now = read_copy(0);
        EXPECT_TRUE(now.crc_ok);
        if (c.new_bootargs.empty()) {
            EXPECT_EQ(now.flag, 7);
            EXPECT_EQ(now.entries, env);
        } else {
            EXPECT_EQ(now.flag, 11);  // two saves: bootargs, then bootcmd
            EXPECT_EQ(now.entries, (Entries{"x=1", "bootargs=" + c.new_bootargs,
                                            "bootcmd=" + c.new_bootcmd}));
            EXPECT_EQ(read_copy(1).entries, now.entries);
        }
    }
}

TEST_F(Program, SwitchRefusesAnUnknownBankAndReportsAFailedReboot)
{
    for (const char* id : {"3", "0", "x"}) {
        SCOPED_TRACE(id);
        lay_out(camera_env());
        std::remove((dir / "sim/shell.log").c_str());
        const std::string before0 = read_dev(0), before1 = read_dev(1);
        RunResult r = update({"-S", id});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "Unknown fs index, please choose 1 or 2\nswitch system faild.\n");
        EXPECT_EQ(shell_log(), "");
        EXPECT_EQ(read_dev(0), before0);
        EXPECT_EQ(read_dev(1), before1);
    }

    lay_out(camera_env());
    set_faults("shell reboot 1\n");
    RunResult r = update({"-S", "2"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "switch system faild.\n");
    EXPECT_EQ(r.out.rfind("\tFilesys will switch to fs2 after reboot!\nUsage:\n", 0), 0u);
}

// Power fails at every flash mutation of one save in turn: the next run finds the complete
// old or the complete new environment, never the default one and never a mix.
TEST_F(Program, PowerCutAtAnyPointOfASaveLeavesTheOldOrTheNewEnvironment)
{
    const Entries old_env = camera_env();
    const Entries new_env = with(old_env, "bootdelay", "7");
    lay_out(old_env);
    const std::string dev0 = read_dev(0), dev1 = read_dev(1);

    int cuts = 0, gave_old = 0, gave_new = 0;
    for (int n = 1;; ++n) {
        SCOPED_TRACE(n);
        qvtest::write_file(dev_path(0), dev0);
        qvtest::write_file(dev_path(1), dev1);
        set_faults("powercut " + std::to_string(n) + "\n");
        RunResult r = update({"-D", "7"});
        set_faults("");
        testing::internal::CaptureStderr();
        const Entries found = reopen();
        const std::string err = testing::internal::GetCapturedStderr();
        if (r.status != 137) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(found, new_env);
            break;
        }
        ++cuts;
        EXPECT_EQ(err, "");
        if (found == old_env)
            ++gave_old;
        else if (found == new_env)
            ++gave_new;
        else
            ADD_FAILURE() << "neither old nor new: " << testing::PrintToString(found);
        ASSERT_LT(n, 10000) << "the save never completed";
    }
    // Two erase units of 512 KiB: 4 blocks erased and 256 pages programmed for each.
    EXPECT_EQ(cuts, 2 * (4 + 256));
    EXPECT_GT(gave_old, 0);
    EXPECT_GT(gave_new, 0);
}

TEST_F(Program, SwitchPausesThreeSecondsOnTheCameraClockBeforeTheReboot)
{
    ASSERT_EQ(env_store_open(), 0);
    const time_t start = pf_time();
    testing::internal::CaptureStdout();
    EXPECT_EQ(switch_system(2), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\tFilesys will switch to fs2 after reboot!\n");
    EXPECT_EQ(pf_time() - start, 3);
    EXPECT_EQ(shell_log(), "reboot\t0\n");

    // An unknown bank neither waits nor reboots.
    EXPECT_EQ(switch_system(7), -1);
    EXPECT_EQ(pf_time() - start, 3);
    EXPECT_EQ(shell_log(), "reboot\t0\n");
}

TEST_F(Program, TheBootLoaderStartsTheBankThatTheSwitchChose)
{
    qvtest::TempDir factory;
    ASSERT_EQ(camsim_init(factory.path(), true), 0);
    for (const char* id : {"2", "1"}) {
        SCOPED_TRACE(id);
        RunResult r = qvtest::run(bin("update-sim"), {"-S", id}, factory.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        RunResult boot = qvtest::run(bin("camsim"), {"boot", factory.path()});
        EXPECT_NE(boot.out.find(std::string("kernel ker") + id), std::string::npos) << boot.out;
        EXPECT_NE(boot.out.find(std::string("rootfs fs") + id), std::string::npos) << boot.out;
        EXPECT_NE(boot.out.find(std::string("bank ") + id), std::string::npos) << boot.out;
    }
}
