// A factory-fresh simulated camera (small layout) and UpgradeImages built by the test.
#pragma once

#include "common/crc32.h"
#include "sim/sim.h"
#include "tests/support/camera.h"
#include "tests/support/run.h"
#include "update/env/env.h"
#include "update/image/image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>

namespace upgradetest {

constexpr uint32_t PAGE = 2048;
constexpr uint32_t BLOCK = 128 * 1024;
constexpr uint32_t NEW_VERSION = 0x01070050;  // 1.7.0.80
constexpr uint32_t NEW_DATE = 0x07EA0B1C;     // 2026/11/28
constexpr uint32_t FACTORY_VERSION = 0x01070049;
// Devices of the small factory layout.
constexpr int UBOOT = 0, KER1 = 3, KER2 = 4, FS1 = 5, FS2 = 6;

using qvtest::capture;
using qvtest::Output;

inline std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    uint32_t x = 0x12345678u + seed * 0x9E3779B9u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// An UpgradeImage: every slot named, components appended with their CRC-32.
struct TestImage {
    ImageHeader header{};
    std::string data;

    TestImage()
    {
        for (size_t i = 0; i < component_slots.size(); ++i)
            memcpy(header.entries[i].name, component_slots[i].name.data(), component_slots[i].name.size());
    }
    ComponentEntry& entry(int slot) { return header.entries[slot]; }
    TestImage& add(int slot, const std::string& bytes, uint32_t version = NEW_VERSION)
    {
        ComponentEntry& e = entry(slot);
        e.offset = static_cast<uint32_t>(IMAGE_HEADER_SIZE + data.size());
        e.size = static_cast<uint32_t>(bytes.size());
        e.version = version;
        e.date = NEW_DATE;
        e.addr = 0x42000000u + static_cast<uint32_t>(slot);
        e.flag = 0x10u * static_cast<uint32_t>(slot);
        e.crc32 = crc32(0, bytes.data(), bytes.size());
        data += bytes;
        return *this;
    }
    std::string bytes() const
    {
        return std::string(reinterpret_cast<const char*>(&header), sizeof header) + data;
    }
};

using qvtest::DevStats;
using qvtest::parse_stats;

class Camera : public ::testing::Test {
protected:
    qvtest::TempDir dir;
    std::string root = dir.path();
    const std::string image_path = "/dev/shm/updateFM.bin";

    void SetUp() override
    {
        env_store_release();
        ASSERT_EQ(camsim_init(root, true), 0);
        setenv("CAMSIM_ROOT", root.c_str(), 1);
        sim_reset();
        ASSERT_EQ(env_store_open(), 0);
    }

    void TearDown() override
    {
        env_store_release();
        unsetenv("CAMSIM_ROOT");
        sim_reset();
    }

    std::string at(const std::string& rel) const { return dir / rel; }
    std::string dev_file(int n) const { return at("dev/mtd" + std::to_string(n)); }
    std::string flash(int n) const { return qvtest::read_file(dev_file(n)); }

    void put_image(const TestImage& image) { qvtest::write_file(at("dev/shm/updateFM.bin"), image.bytes()); }

    void set_faults(const std::string& lines)
    {
        qvtest::write_file(at("sim/faults"), lines);
        sim_reset();
    }

    void set_cmdline(const std::string& text) { qvtest::write_file(at("proc/cmdline"), text + "\n"); }

    // Sets the bad blocks of mtdN in flash.conf.
    void mark_bad(int n, const std::string& blocks)
    {
        qvtest::set_bad_blocks(at("flash.conf"), n, blocks);
        sim_reset();
    }

    std::string env(const char* name)
    {
        const char* v = env_store_get(name);
        return v ? v : "<none>";
    }

    // The environment as the next run would find it on flash.
    std::string env_on_flash(const char* name)
    {
        env_store_release();
        sim_reset();
        EXPECT_EQ(env_store_open(), 0);
        return env(name);
    }

    std::map<std::string, DevStats> stats()
    {
        return parse_stats(capture([&] { return camsim_stats(root); }).out);
    }

    Output boot()
    {
        Output o = capture([&] { return camsim_boot(root); });
        sim_reset();
        return o;
    }
};

// The flash image of a partition holding `data` from its start, erased behind it.
inline std::string written(const std::string& data, size_t partition)
{
    return data + std::string(partition - data.size(), char(0xFF));
}

inline std::string record_text(const char* name, uint32_t ver, uint32_t size, uint32_t date)
{
    char text[128];
    snprintf(text, sizeof text, "name:%s\tver:0x%08x\tsize:%u\tdate:0x%08x ", name, ver, size, date);
    return text;
}

}  // namespace upgradetest
