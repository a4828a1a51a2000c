// The simulated camera against the kernel on every test run: the rig's probe of MTD operations,
// run on a simulated device shaped like the rig's scratch partition, must print the table that
// the same probe printed on the kernel's NAND simulator (nandsim_probe_table.txt, recorded by the
// rig; the rig fails when the kernel's table no longer matches the recording).
#include "tests/support/run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

using namespace qvtest;

namespace {

// Beside this source file.
std::string recorded_table()
{
    std::string here = __FILE__;
    return read_file(here.substr(0, here.rfind('/') + 1) + "nandsim_probe_table.txt");
}

// The device's geometry as the kernel reported it in the table's MEMGETINFO row.
bool geometry(const std::string& table, std::string& conf_line, uint64_t& size)
{
    size_t at = table.find("MEMGETINFO ");
    if (at == std::string::npos)
        return false;
    unsigned type = 0, flags = 0, sz = 0, erasesize = 0, writesize = 0, oobsize = 0;
    size_t row = table.find("type=", at);
    if (row == std::string::npos ||
        sscanf(table.c_str() + row, "type=%u flags=0x%x size=0x%x erasesize=0x%x writesize=0x%x oobsize=%u", &type,
               &flags, &sz, &erasesize, &writesize, &oobsize) != 6 ||
        type != 4)
        return false;
    // Bad block 2, as the rig's scratch partition has it.
    char line[128];
    snprintf(line, sizeof line, "mtd11 rigscratch 0x%x 0x%x 0x%x %u nand bad=2\n", sz, erasesize, writesize, oobsize);
    conf_line = line;
    size = sz;
    return true;
}

}  // namespace

TEST(KernelTable, TheSimulatedCameraPrintsTheKernelsProbeTable)
{
    const std::string kernel = recorded_table();
    std::string conf;
    uint64_t size = 0;
    ASSERT_TRUE(geometry(kernel, conf, size)) << "no NAND MEMGETINFO row in the recorded table";

    TempDir dir;
    write_file(dir / "flash.conf", conf);
    write_file(dir / "dev/mtd11", std::string(size, '\xFF'));
    RunResult r = run(bin("mtd_probe-sim"), {"/dev/mtd11", "2"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kernel);
}
