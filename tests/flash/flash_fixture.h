// A simulated camera whose flash devices the test lays out, for driving the flash code in process.
#pragma once

#include "sim/sim.h"
#include "tests/support/camera.h"
#include "tests/support/run.h"
#include "update/env/env.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>

namespace flashtest {

using qvtest::capture;
using qvtest::Output;

inline std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 11) * 3) & 0xFF);
    return s;
}

using qvtest::DevStats;

class SimCamera : public ::testing::Test {
protected:
    qvtest::TempDir dir;
    std::string root = dir.path();

    void SetUp() override
    {
        setenv("CAMSIM_ROOT", root.c_str(), 1);
        sim_reset();
    }

    void TearDown() override
    {
        env_store_release();
        unsetenv("CAMSIM_ROOT");
        sim_reset();
    }

    // A camera with the fixed factory layout (small), its environment opened.
    void factory_camera()
    {
        ASSERT_EQ(camsim_init(root, true), 0);
        sim_reset();
        env_store_release();
        ASSERT_EQ(env_store_open(), 0);
    }

    std::string dev_file(int n) const { return dir / ("dev/mtd" + std::to_string(n)); }
    std::string flash(int n) const { return qvtest::read_file(dev_file(n)); }

    void set_faults(const std::string& lines)
    {
        qvtest::write_file(dir / "sim/faults", lines);
        sim_reset();
    }

    // Sets the bad blocks of mtdN in flash.conf.
    void mark_bad(int n, const std::string& blocks)
    {
        qvtest::set_bad_blocks(dir / "flash.conf", n, blocks);
        sim_reset();
    }

    // By device, as "mtdN".
    std::map<std::string, DevStats> stats()
    {
        return qvtest::parse_stats(capture([&] { return camsim_stats(root); }).out);
    }
};

}  // namespace flashtest
