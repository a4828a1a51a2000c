// The gate as update-sim runs it before an analysis or an update.
#include "tests/support/run.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

struct Factory {
    TempDir dir;
    std::string root = dir / "cam";
    Factory()
    {
        auto r = run(bin("camsim"), {"init", root, "--small"});
        if (r.status != 0)
            ADD_FAILURE() << r.err;
        write_file(dir / "rootfs.bin", std::string(5000, 'r'));
    }
    RunResult pack(const std::string& version)
    {
        return run(bin("mkupgrade"), {"--version", version, "-o", root + "/dev/shm/updateFM.bin",
                                      "fs=" + (dir / "rootfs.bin")});
    }
    std::string result_log() const { return read_file(root + "/mnt/nand/upfw.log"); }
};

std::string result_log(const std::string& code, const std::string& message)
{
    std::string block1 = code + "\n", block2 = message;
    block1.resize(256, '\0');
    block2.resize(256, '\0');
    return block1 + block2;
}

TEST(GateInUpdate, FactoryCameraTakesAPlainImage)
{
    Factory cam;
    ASSERT_EQ(cam.pack("1.7.0.80").status, 0);
    RunResult r = run(bin("update-sim"), {"-a"}, cam.root);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("version = 1.7.0.80\n"), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(cam.root + "/mnt/nand/upfw.log"));
}

TEST(GateInUpdate, RefusalIsWrittenToTheResultLog)
{
    for (const char* option : {"-a", "-u", "-la"}) {
        Factory cam;
        ASSERT_EQ(cam.pack("1.7.0.71").status, 0);
        write_file(cam.root + "/tmp/sensor_type", "imx385\n");
        RunResult r = run(bin("update-sim"), {option}, cam.root);
        EXPECT_EQ(r.status, 241) << option;
        EXPECT_EQ(cam.result_log(), result_log("-15", "imx385 Sensor version must >= 72\n")) << option;
        // Nothing of the image work after the gate ran.
        EXPECT_EQ(r.out.find("Begin update"), std::string::npos) << option;
        EXPECT_EQ(r.out.find("List upfw"), std::string::npos) << option;
        EXPECT_TRUE(r.err.ends_with("imx385 Sensor version must >= 72\n")) << r.err;
    }
}

TEST(GateInUpdate, ListingAloneDoesNotRunTheGate)
{
    Factory cam;
    ASSERT_EQ(cam.pack("1.7.0.71").status, 0);
    write_file(cam.root + "/tmp/sensor_type", "imx385\n");
    RunResult r = run(bin("update-sim"), {"-l"}, cam.root);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("ai_val"), std::string::npos) << r.out;
}

}  // namespace
