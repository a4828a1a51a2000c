// A small simulated camera laid out by the test, driven in process through the platform calls.
#pragma once

#include "platform/platform.h"
#include "sim/sim.h"
#include "tests/support/run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

namespace simtest {

// Device 0: NAND, four 64 KiB blocks of 2048-byte pages, block 2 bad.
// Device 1: NOR, 64 KiB in 4 KiB blocks. Device 2: listed but its file is missing.
constexpr uint32_t nand_size = 0x40000, nand_block = 0x10000, page = 2048;
constexpr uint32_t nor_size = 0x10000, nor_block = 0x1000;

class SimTest : public ::testing::Test {
protected:
    qvtest::TempDir dir;
    std::string root = dir.path();

    void SetUp() override
    {
        qvtest::write_file(dir / "flash.conf",
                           "# test flash\n"
                           "mtd0 nand0 0x40000 0x10000 2048 64 nand bad=2\n"
                           "\n"
                           "mtd1 nor0 65536 4096 1 0 nor   # byte-writable\n"
                           "mtd2 gone 0x10000 0x10000 2048 64 nand\n");
        qvtest::write_file(dir / "dev/mtd0", std::string(nand_size, '\xFF'));
        qvtest::write_file(dir / "dev/mtd1", std::string(nor_size, '\xFF'));
        qvtest::write_file(dir / "proc/mtd",
                           "dev:    size   erasesize  name\n"
                           "mtd0: 00040000 00010000 \"nand0\"\n"
                           "mtd1: 00010000 00001000 \"nor0\"\n");
        qvtest::write_file(dir / "sim/.keep", "");
        setenv("CAMSIM_ROOT", root.c_str(), 1);
        sim_reset();
    }

    void TearDown() override
    {
        sim_reset();
        unsetenv("CAMSIM_ROOT");
    }

    // Writes a file under sim/ and starts a new run that reads it.
    void sim_file(const std::string& name, const std::string& text)
    {
        qvtest::write_file(dir / ("sim/" + name), text);
        sim_reset();
    }

    std::string flash(int n) const { return qvtest::read_file(dir / ("dev/mtd" + std::to_string(n))); }
    std::string file(const std::string& rel) const { return qvtest::read_file(dir / rel); }

    // The counters `camsim stats` prints for a device, by key.
    std::map<std::string, long> stats(const std::string& device)
    {
        auto r = qvtest::run(qvtest::bin("camsim"), {"stats", root});
        EXPECT_EQ(r.status, 0) << r.err;
        std::istringstream lines(r.out);
        std::map<std::string, long> values;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string mtd, name, kv;
            words >> mtd >> name;
            if (name != device)
                continue;
            while (words >> kv)
                values[kv.substr(0, kv.find('='))] = std::stol(kv.substr(kv.find('=') + 1));
        }
        return values;
    }
};

// Runs a call with descriptor 1 sent to a file, and gives back what reached it.
template <typename F>
std::string fd1_output(const std::string& scratch, F&& call)
{
    fflush(stdout);
    int saved = dup(1);
    int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    ::close(fd);
    call();
    fflush(stdout);
    dup2(saved, 1);
    ::close(saved);
    return qvtest::read_file(scratch);
}

}  // namespace simtest
