// The update command line and the order of one run, on a simulated camera.
#include "sim/sim.h"
#include "tests/support/run.h"
#include "update/env/env.h"
#include "update/front/front.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace qvtest;

namespace {

const std::string usage_text =
    "Usage:\n"
    "  update [OPTION] upfw_file \n"
    "  Writes to the specified MTD device.\n"
    "\n"
    "   --help\tdisplay this help and exit\n"
    "-v --version\toutput version information and exit\n"
    "   --show\tShow Quovera uboot information \n"
    "-u --upfw\tUpdate Quovera upgrade images\n"
    "-a --analysis\tAnalysis Quovera upgrade images\n"
    "-l --list\tList upgrade image information\n"
    "-S --system [id]\tSwitch Quovera System\n"
    "-N --sn [sn]\tUpdate Quovera uboot SN \n"
    "-C --cmdline [str]\tUpdate Quovera uboot cmdline \n"
    "   --bootargs [str]\tUpdate Quovera uboot bootargs \n"
    "   --bootcmd [str]\tUpdate Quovera uboot bootcmd \n"
    "-D --delay [digit]\tUpdate Quovera uboot bootdelay \n"
    "   --auto_boot [digit]\tUpdate Quovera uboot load linux from nandflash or no \n"
    "   --auto_dl [digit]\tUpdate Quovera uboot load linux from network or no \n"
    "   --pri_addr [hex]\tUpdate Quovera uboot pri_addr \n"
    "   --pri_file [str]\tUpdate Quovera updated file name(32bytes) \n"
    "   --serverip [ip]\tUpdate Quovera uboot tftpd server ip \n"
    "-E --eth0_mac [MAC]\tUpdate Quovera uboot eth0 MAC \n"
    "   --eth0_ip [ip]\tUpdate Quovera uboot eth0 lan ip \n"
    "   --eth0_mask [ip]\tUpdate Quovera uboot eth0 lan mask \n"
    "   --eth0_gw [ip]\tUpdate Quovera uboot eth0 lan gw \n"
    "-W --wifi0_mac [MAC]\tUpdate Quovera uboot wifi0 MAC \n"
    "   --wifi0_ip [ip]\tUpdate Quovera uboot wifi0 ip \n"
    "   --wifi0_mask [ip]\tUpdate Quovera uboot wifi0 mask\n"
    "   --wifi0_gw [ip]\tUpdate Quovera uboot wifi0 gw \n"
    "\n";

const std::string default_image = "/dev/shm/updateFM.bin";

// The two 256-byte blocks of the ResultLog.
std::string result_log(const std::string& code, const std::string& message)
{
    std::string log = code + "\n";
    log.resize(256, '\0');
    std::string second = message.substr(0, 255);
    second.resize(256, '\0');
    return log + second;
}

class FrontTest : public testing::Test {
protected:
    void SetUp() override
    {
        RunResult r = run(bin("camsim"), {"init", root, "--small"});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    RunResult update(const std::vector<std::string>& args) { return run(bin("update-sim"), args, root); }
    std::string at(const std::string& path) const { return root + path; }

    // A variable as the camera's environment holds it now; "(unset)" when it has none.
    std::string env(const char* name)
    {
        setenv("CAMSIM_ROOT", root.c_str(), 1);
        sim_reset();
        testing::internal::CaptureStderr();
        int rc = env_store_open();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, 0) << err;
        const char* value = env_store_get(name);
        return value ? value : "(unset)";
    }

    std::string shell_log() { return file_exists(at("/sim/shell.log")) ? read_file(at("/sim/shell.log")) : ""; }

    TempDir dir;
    std::string root = dir / "cam";
};

TEST_F(FrontTest, NoArgumentsDoNothing)
{
    RunResult r = update({});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(file_exists(at("/mnt/nand/upfw.log")));
}

TEST_F(FrontTest, HelpPrintsTheVersionAndTheUsageAndGoesOn)
{
    RunResult r = update({"--help", "-D", "7"});
    EXPECT_EQ(r.out, "Quovera update version: 0.1.0.1\n" + usage_text);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(env("bootdelay"), "7");
}

TEST_F(FrontTest, OptionsStoreTheirVariables)
{
    const std::string s40 = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    const std::string long_text(600, 'q');
    struct Case {
        std::vector<std::string> args;
        const char* key;
        std::string value;
    };
    const std::vector<Case> cases = {
        {{"-D", "300"}, "bootdelay", "44"},
        {{"-D", "0x0A"}, "bootdelay", "10"},
        {{"-D", "012"}, "bootdelay", "10"},
        {{"-D", "abc"}, "bootdelay", "0"},
        {{"-D", "-1"}, "bootdelay", "255"},
        {{"-D9"}, "bootdelay", "9"},
        {{"--delay=4x"}, "bootdelay", "4"},
        {{"-N", s40}, "sn", s40.substr(0, 32)},
        {{"--sn=SN-1"}, "sn", "SN-1"},
        {{"-C", "console=ttyS0 ubi.mtd=fs2"}, "bootargs", "console=ttyS0 ubi.mtd=fs2"},
        {{"--bootargs", long_text}, "bootargs", long_text.substr(0, 512)},
        {{"--bootcmd", "nand read 0 ker2"}, "bootcmd", "nand read 0 ker2"},
        {{"--pri_file", s40}, "bootfile", s40.substr(0, 32)},
        {{"--serverip", "not an address"}, "serverip", "not an address"},
        {{"-E", "00:11:22:33:44:66"}, "ethaddr", "00:11:22:33:44:66"},
        {{"--eth0_ip", "10.0.0.2"}, "ipaddr", "10.0.0.2"},
        {{"--eth0_mask", "255.0.0.0"}, "netmask", "255.0.0.0"},
        {{"--eth0_g", "10.0.0.1"}, "gateway", "10.0.0.1"},  // a prefix is enough
        {{"-W", "aa:bb"}, "wifimac", "aa:bb"},
        {{"--wifi0_ip", "192.168.0.9"}, "wifiip", "192.168.0.9"},
        {{"--wifi0_mask", "255.255.0.0"}, "wifinm", "255.255.0.0"},
        {{"--wifi0_gw", "192.168.0.1"}, "wifigw", "192.168.0.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1].substr(0, 40) : ""));
        RunResult r = update(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(env(c.key), c.value);
    }
}

TEST_F(FrontTest, NumberOnlyOptionsChangeNothing)
{
    const std::string before = read_file(at("/dev/mtd1")) + read_file(at("/dev/mtd2"));
    RunResult r = update({"--auto_boot", "7", "--auto_dl", "x", "--pri_addr", "0x42000000"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(at("/dev/mtd1")) + read_file(at("/dev/mtd2")), before);
}

TEST_F(FrontTest, AParserErrorStopsParsingAndEndsWithTheUsage)
{
    const std::string prog = bin("update-sim");
    struct Case {
        std::vector<std::string> args;
        std::string diagnostic;  // the C library's
    };
    const std::vector<Case> cases = {
        {{"-N", "abc", "-x", "-D", "5"}, prog + ": invalid option -- 'x'\n"},
        {{"-N", "abc", "-?", "-D", "5"}, ""},
        {{"-N", "abc", "--bogus", "-D", "5"}, prog + ": unrecognized option '--bogus'\n"},
        {{"-N", "abc", "--wifi0_m", "x", "-D", "5"},
         prog + ": option '--wifi0_m' is ambiguous; possibilities: '--wifi0_mac' '--wifi0_mask'\n"},
        {{"-N", "abc", "--help=x", "-D", "5"}, prog + ": option '--help' doesn't allow an argument\n"},
        {{"-D", "5", "-N", "abc", "-D"}, prog + ": option requires an argument -- 'D'\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[2]);
        RunResult r = update(c.args);
        EXPECT_EQ(r.out, usage_text);
        EXPECT_EQ(r.err, c.diagnostic + "Error: Unknow option\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(env("sn"), "abc");
        EXPECT_EQ(env("bootdelay"), c.args[0] == "-D" ? "5" : "1");  // the factory value
        ASSERT_EQ(update({"-D", "1", "-N", "none"}).status, 0);
    }
}

TEST_F(FrontTest, AFailingOptionLetsTheLaterOnesRunThenEndsWithTheUsage)
{
    RunResult r = update({"-S", "3", "--eth0_mask", "255.255.255.0", "-S", "0"});
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(r.err,
              "Unknown fs index, please choose 1 or 2\n"
              "switch system faild.\n"
              "Unknown fs index, please choose 1 or 2\n"
              "switch system faild.\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(env("netmask"), "255.255.255.0");
    EXPECT_EQ(shell_log(), "");  // no reboot
}

TEST_F(FrontTest, ASystemIdBeyond32BitsIsNoBankNumber)
{
    // 2^32 + 1 must not wrap round to bank 1 and reboot the camera.
    RunResult r = update({"-S", "4294967297"});
    EXPECT_EQ(r.err, "Unknown fs index, please choose 1 or 2\nswitch system faild.\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(shell_log(), "");
}

TEST_F(FrontTest, ListingTakesTheOnePositionalArgumentElseTheDefault)
{
    write_file(at("/mnt/nand/upfw.log"), "earlier run");
    struct Case {
        std::vector<std::string> args;
        std::string path;
    };
    const std::vector<Case> cases = {
        {{"-l"}, default_image},
        {{"-l", "a.bin", "b.bin"}, default_image},
        {{"a.bin", "-l", "b.bin", "c.bin"}, default_image},
        {{"-l", "/tmp/one.bin"}, "/tmp/one.bin"},
        {{"/tmp/one.bin", "--list"}, "/tmp/one.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        RunResult r = update(c.args);
        EXPECT_EQ(r.out, "List upfw " + c.path + " infomation.\n");
        EXPECT_EQ(r.err, "open output imager: No such file or directory\nList upfw " + c.path +
                             " infomation failed!\n");
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(read_file(at("/mnt/nand/upfw.log")), "earlier run");
}

TEST_F(FrontTest, AnImagePathTooLongIsRefusedNotCut)
{
    std::string path127(127, 'p');
    path127[0] = '/';
    write_file(at(path127), "an image that must not be read");  // what the cut path would name

    RunResult r = update({"-N", "kept", "-l", path127 + "q"});
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(r.err, "Error: image path too long\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(env("sn"), "kept");

    r = update({"-l", path127});
    EXPECT_EQ(r.out, "List upfw " + path127 + " infomation.\n");
    EXPECT_EQ(r.err, "Bad size: \"" + path127 + "\" is no valid image\nList upfw " + path127 +
                         " infomation failed!\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(FrontTest, ListingAGoodImage)
{
    write_file(dir / "k", std::string(1536, 'k'));
    RunResult m = run(bin("mkupgrade"), {"--version", "1.7.0.77", "--date", "2021-02-26", "-o",
                                         at(default_image), "ker=" + (dir / "k")});
    ASSERT_EQ(m.status, 0) << m.err;
    RunResult r = update({"-l"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "List upfw /dev/shm/updateFM.bin infomation.\n"
              "Image info: \n"
              "cmd: \nversion = 1.7.0.77\n"
              "bld: \nversion = 1.7.0.77\n"
              "ker: \n"
              "offset  = 0x00000800\n"
              "size    = 2 K\n"
              "addr    = 0x00000000\n"
              "flag    = 0x00000000\n"
              "date    = 2021/2/26\n"
              "crc32   = 0x03559DA9\n"
              "version = 1.7.0.77\n"
              "fs: \nversion = 1.7.0.77\n"
              "tool: \nversion = 1.7.0.77\n"
              "bld2: \nversion = 1.7.0.77\n");
    EXPECT_FALSE(file_exists(at("/mnt/nand/upfw.log")));
}

// Runs with an UpgradeImage: the gate, the listing, the analysis and the update, in this order.
class RunTest : public FrontTest {
protected:
    void SetUp() override
    {
        FrontTest::SetUp();
        write_file(dir / "cmd", "#!/bin/sh\necho new tool\n");
        write_file(dir / "ker", std::string(5000, 'k'));
        write_file(dir / "fs", std::string(9000, 'f'));
    }
    void pack(const std::string& version, const std::vector<std::string>& slots)
    {
        std::vector<std::string> args = {"--version", version, "--date", "2021-02-26", "--ai-mask", "0x3f",
                                         "-o", at(default_image)};
        for (const std::string& slot : slots)
            args.push_back(slot + "=" + (dir / slot));
        RunResult r = run(bin("mkupgrade"), args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // What the gate prints on this camera (an imx327 sensor, the 8211 PHY) up to the sensor rule
    // and after it.
    static std::string gate_to_sensor(const std::string& version)
    {
        return "\n$$$$$$ ai_val=63 \n\nversion = " + version +
               "\n\n$$$$$$ product=QVZ27R0807TA502G0100P77770000000 \n\n"
               "====ai_upfw_val=63======\n"
               "====update=chipinfo=QVZ27R0807TA502G0100P77770000000======\n";
    }
    static std::string gate(const std::string& version)
    {
        return gate_to_sensor(version) + "=========== new phy 8211 ======= \n";
    }
    std::string log() { return read_file(at("/mnt/nand/upfw.log")); }
};

TEST_F(RunTest, GateThenListingThenAnalysisWhateverTheOptionOrder)
{
    pack("1.7.0.80", {"cmd"});
    const std::string listing = "List upfw /dev/shm/updateFM.bin infomation.\n"
                                "Image info: \n"
                                "cmd: \n"
                                "offset  = 0x00000800\n"
                                "size    = 2 K\n"
                                "addr    = 0x00000000\n"
                                "flag    = 0x00000000\n"
                                "date    = 2021/2/26\n"
                                "crc32   = 0xECC1E0FE\n"
                                "version = 1.7.0.80\n"
                                "bld: \nversion = 1.7.0.80\n"
                                "ker: \nversion = 1.7.0.80\n"
                                "fs: \nversion = 1.7.0.80\n"
                                "tool: \nversion = 1.7.0.80\n"
                                "bld2: \nversion = 1.7.0.80\n";
    const std::string analysis = "Analysis image /dev/shm/updateFM.bin \n"
                                 "==============name /dev/shm/updateFM.bin=\n"
                                 "Create file: /dev/shm/update \n";
    const std::string cmd = read_file(dir / "cmd");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-a", "-l"}, {"-l", "-a"}}) {
        SCOPED_TRACE(args[0]);
        write_file(at("/dev/shm/update"), std::string(4000, 'o'));  // an older, longer tool
        write_file(at("/sim/shell.log"), "");
        RunResult r = update(args);
        EXPECT_EQ(r.out, gate("1.7.0.80") + listing + analysis);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(at("/dev/shm/update")), cmd + std::string(2048 - cmd.size(), '\xFF'));
        EXPECT_EQ(shell_log(), "chmod 777 /dev/shm/update\t0\n");
        EXPECT_FALSE(file_exists(at("/mnt/nand/upfw.log")));
    }
}

TEST_F(RunTest, AGateRefusalIsLoggedAndEndsTheRun)
{
    pack("1.7.0.64", {"cmd", "ker", "fs"});
    write_file(at("/mnt/nand/upfw.log"), "earlier run");
    const std::string message = "imx327 Sensor version must >= 65\n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-l", "-a"}, {"-u", "-l"}}) {
        SCOPED_TRACE(args[0] + args[1]);
        RunResult r = update(args);
        EXPECT_EQ(r.out, gate_to_sensor("1.7.0.64"));
        // The gate's own report (the message, then whatever system error is current), then the
        // message again from the ResultLog writer.
        EXPECT_EQ(r.err.substr(0, message.size() + 2), message + ": ");
        EXPECT_EQ(r.err.substr(r.err.size() - message.size() - 1), "\n" + message);
        EXPECT_EQ(r.status, 241);
        EXPECT_EQ(log(), result_log("-15", message));
        EXPECT_FALSE(file_exists(at("/dev/shm/update")));
        EXPECT_EQ(shell_log(), "");
    }
}

TEST_F(RunTest, AFailedAnalysisIsLogged)
{
    pack("1.7.0.80", {"cmd"});
    write_file(at("/etc/passwd"), "root:x:0:0\n");
    // Planted by anybody who may write to /dev/shm.
    ASSERT_EQ(symlink(at("/etc/passwd").c_str(), at("/dev/shm/update").c_str()), 0);
    RunResult r = update({"-a"});
    EXPECT_EQ(r.out, gate("1.7.0.80") +
                         "Analysis image /dev/shm/updateFM.bin \n"
                         "==============name /dev/shm/updateFM.bin=\n"
                         "Create file: /dev/shm/update \n");
    EXPECT_EQ(r.err,
              "open output imager: Too many levels of symbolic links\n"
              "write /dev/shm/update faild\n"
              "Analysis /dev/shm/updateFM.bin faild!\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(log(), result_log("-1", "Analysis /dev/shm/updateFM.bin faild!\n"));
    EXPECT_EQ(read_file(at("/etc/passwd")), "root:x:0:0\n");
}

TEST_F(RunTest, ASuccessfulUpdateReplacesTheOldResultLog)
{
    pack("1.7.0.80", {"ker", "fs"});
    // The first update goes into bank 2; after its boot the second goes into bank 1.
    for (bool earlier_log : {false, true}) {
        SCOPED_TRACE(earlier_log);
        const char* new_bank = earlier_log ? "ubi.mtd=fs1" : "ubi.mtd=fs2";
        write_file(at("/sim/shell.log"), "");
        if (earlier_log)
            write_file(at("/mnt/nand/upfw.log"), std::string(600, 'x'));
        RunResult r = update({"-u"});
        const std::string begin = gate("1.7.0.80") + "Begin update /dev/shm/updateFM.bin \n\n\nstart UPFW_run_update\n";
        const std::string end = "\n\n end UPFW_run_update \n\n";
        EXPECT_EQ(r.out.substr(0, begin.size()), begin);
        ASSERT_GE(r.out.size(), end.size());
        EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
        EXPECT_EQ(r.err, std::string(earlier_log ? "Has update, update again!" : "") + "update success!\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(log(), result_log("0", "update success!\n"));
        // The old log goes before the run touches anything.
        std::string shell = shell_log();
        EXPECT_EQ(shell.rfind("rm -f /mnt/nand/upfw.log\t0\n", 0) == 0, earlier_log) << shell;
        EXPECT_EQ(shell.find("rm -f", 1), std::string::npos);
        RunResult boot = run(bin("camsim"), {"boot", root});
        EXPECT_EQ(boot.status, 0);
        EXPECT_NE(read_file(at("/proc/cmdline")).find(new_bank), std::string::npos);
    }
}

TEST_F(RunTest, AFailedUpdateIsLoggedWithItsMessage)
{
    struct Case {
        const char* what;
        std::vector<std::string> slots;
        bool damage;
        std::string code;
        std::string message;
        int status;
    };
    const std::vector<Case> cases = {
        {"no root filesystem", {"ker"}, false, "-9", "update filesys partition faild!\n", 247},
        {"a damaged component", {"ker", "fs"}, true, "-2", "verify update firmware faild!\n", 254},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pack("1.7.0.80", c.slots);
        if (c.damage) {
            std::string image = read_file(at(default_image));
            image[image.size() - 1] ^= 1;
            write_file(at(default_image), image);
        }
        const std::string flash_before = read_file(at("/dev/mtd4")) + read_file(at("/dev/mtd6"));
        RunResult r = update({"-u"});
        EXPECT_EQ(r.status, c.status);
        ASSERT_GE(r.err.size(), c.message.size());
        EXPECT_EQ(r.err.substr(r.err.size() - c.message.size()), c.message);
        EXPECT_EQ(log(), result_log(c.code, c.message));
        EXPECT_EQ(read_file(at("/dev/mtd4")) + read_file(at("/dev/mtd6")), flash_before);
    }
}

TEST(ResultMessages, KnownCodesHaveTheirTextOthersTheErrCodeForm)
{
    struct Case {
        int32_t code;
        const char* message;
    };
    const std::vector<Case> cases = {
        {0, "update success!\n"},
        {-1, "update faild!\n"},
        {-2, "verify update firmware faild!\n"},
        {-3, "analysis update firmware faild!\n"},
        {-4, "update ptb partition faild!\n"},
        {-5, "update bld partition faild!\n"},
        {-6, "update hal partition faild!\n"},
        {-7, "update dsp partition faild!\n"},
        {-8, "update kernel partition faild!\n"},
        {-9, "update filesys partition faild!\n"},
        {-10, "update cmdline faild!\n"},
        {-11, "kernel 1 version mismatch!\n"},
        {-12, "kernel 2 version mismatch!\n"},
        {-13, "ddr dismatch!\n"},
        {-14, "ErrCode(0xfffffff2) \n"},
        {1, "ErrCode(0x00000001) \n"},
        {18, "ErrCode(0x00000012) \n"},
        {0x20E, "ErrCode(0x0000020e) \n"},
        {INT32_MIN, "ErrCode(0x80000000) \n"},
    };
    for (const Case& c : cases) {
        char buf[256];
        upfw_result_message(c.code, buf, sizeof buf);
        EXPECT_STREQ(buf, c.message) << c.code;
    }
}

class ResultLogTest : public FrontTest {
protected:
    int write_result(int32_t code, const std::string& message, std::string* err)
    {
        setenv("CAMSIM_ROOT", root.c_str(), 1);
        sim_reset();
        testing::internal::CaptureStderr();
        int n = upfw_write_result(code, message.c_str());
        *err = testing::internal::GetCapturedStderr();
        return n;
    }
};

TEST_F(ResultLogTest, TwoBlocksOf256Bytes)
{
    const std::string long_message = std::string(300, 'm') + "\n";
    struct Case {
        int32_t code;
        std::string message;
        std::string first;
    };
    const std::vector<Case> cases = {
        {0, "update success!\n", "0"},
        {-15, "imx327 Sensor version must >= 65\n", "-15"},
        {0x20E, "ErrCode(0x0000020e) \n", "526"},
        {INT32_MIN, long_message, "-2147483648"},
        {7, "", "7"},
    };
    write_file(at("/mnt/nand/upfw.log"), std::string(2000, 'x'));  // an older, longer log
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        std::string err;
        EXPECT_EQ(write_result(c.code, c.message, &err), 256);
        EXPECT_EQ(err, c.message);
        EXPECT_EQ(read_file(at("/mnt/nand/upfw.log")), result_log(c.first, c.message));
    }
    struct stat st;
    ASSERT_EQ(stat(at("/mnt/nand/upfw.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 512);
}

TEST_F(ResultLogTest, FailuresAreReportedAndTheMessageIsShownOnlyOnceWritten)
{
    std::string err;
    write_file(at("/sim/faults"), "fail write /mnt/nand/upfw.log 1 EIO\n");
    EXPECT_EQ(write_result(-4, "update ptb partition faild!\n", &err), -1);
    EXPECT_EQ(err, "write /mnt/nand/upfw.log: Input/output error\n");

    write_file(at("/sim/faults"), "fail write /mnt/nand/upfw.log 2 ENOSPC\n");
    EXPECT_EQ(write_result(-4, "update ptb partition faild!\n", &err), -1);
    EXPECT_EQ(err, "update ptb partition faild!\nwrite upfw.log: No space left on device\n");

    write_file(at("/sim/faults"), "fail open /mnt/nand/upfw.log 1 EACCES\n");
    EXPECT_EQ(write_result(-4, "update ptb partition faild!\n", &err), -1);
    EXPECT_EQ(err, "open /mnt/nand/upfw.log: Permission denied\n");
}

}  // namespace
