// A simulated camera whose two environment copies the test lays out byte by byte.
#pragma once

#include "common/crc32.h"
#include "sim/sim.h"
#include "tests/support/run.h"
#include "update/env/env.h"
#include "update/env/env_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace envtest {

using Entries = std::vector<std::string>;

// How one copy looks on flash.
struct Copy {
    bool crc_ok = false;
    uint8_t flag = 0;
    Entries entries;  // empty when the data area is not a terminated list
};

// The data area of a list of entries: each with its NUL, then the terminator.
inline std::string data_area(const Entries& entries)
{
    std::string d;
    for (const auto& e : entries) {
        d += e;
        d += '\0';
    }
    d += '\0';
    return d;
}

// Entries of a data area up to its terminator; empty when it has none.
inline Entries parse_entries(const char* data, size_t size)
{
    Entries out;
    size_t i = 0;
    while (i < size && data[i] != '\0') {
        size_t n = strnlen(data + i, size - i);
        if (i + n >= size)
            return {};
        out.emplace_back(data + i, n);
        i += n + 1;
    }
    return i < size ? out : Entries{};
}

inline std::string copy_bytes(uint8_t flag, const std::string& data, bool good_crc = true)
{
    std::string area = data;
    area.resize(env_data_size, '\0');
    uint32_t crc = crc32(0, area.data(), area.size());
    if (!good_crc)
        crc ^= 0x5a5a5a5a;
    std::string c(5, '\0');
    for (int i = 0; i < 4; ++i)
        c[i] = char(crc >> (8 * i));
    c[4] = char(flag);
    return c + area;
}

inline const Entries& camera_env()
{
    static const Entries e{
        "bootargs=mem=256M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw "
        "rootfstype=ubifs init=/linuxrc",
        "bootcmd=nand read 0x42000000 ker1; bootm 0x42000000",
        "bootdelay=1",
        "baudrate=115200",
        "ethaddr=00:11:22:33:44:55",
        "ker1=name:ker1\tver:0x01070049\tsize:4194304\tdate:0x07e5030f ",
        "fs1=name:fs1\tver:0x01070049\tsize:2097152\tdate:0x07e5030f ",
    };
    return e;
}

class EnvCamera : public ::testing::Test {
public:
    qvtest::TempDir dir;
    std::string root = dir.path();

    void SetUp() override
    {
        env_store_release();
        ASSERT_EQ(camsim_init(root, true), 0);
        setenv("CAMSIM_ROOT", root.c_str(), 1);
        // Something recognisable behind each copy, to see that saves keep it.
        for (int c = 0; c < 2; ++c) {
            std::string dev = read_dev(c);
            for (size_t i = env_copy_size; i < env_sector_size; ++i)
                dev[i] = char((i * 7 + c) & 0xFF);
            qvtest::write_file(dev_path(c), dev);
        }
        write_copy(0, 7, data_area(camera_env()));
        write_copy(1, 6, data_area(camera_env()));
        sim_reset();
    }

    void TearDown() override
    {
        env_store_release();
        unsetenv("CAMSIM_ROOT");
        sim_reset();
    }

    std::string dev_path(int copy) const { return dir / (copy == 0 ? "dev/mtd1" : "dev/mtd2"); }
    std::string read_dev(int copy) const { return qvtest::read_file(dev_path(copy)); }

    void write_copy(int copy, uint8_t flag, const std::string& data, bool good_crc = true)
    {
        std::string dev = read_dev(copy);
        dev.replace(0, env_copy_size, copy_bytes(flag, data, good_crc));
        qvtest::write_file(dev_path(copy), dev);
    }

    Copy read_copy(int copy) const
    {
        std::string dev = read_dev(copy);
        Copy c;
        uint32_t stored = 0;
        for (int i = 0; i < 4; ++i)
            stored |= uint32_t(uint8_t(dev[i])) << (8 * i);
        c.crc_ok = crc32(0, dev.data() + 5, env_data_size) == stored;
        c.flag = uint8_t(dev[4]);
        c.entries = parse_entries(dev.data() + 5, env_data_size);
        return c;
    }

    bool second_halves_intact() const
    {
        for (int c = 0; c < 2; ++c) {
            std::string dev = read_dev(c);
            for (size_t i = env_copy_size; i < env_sector_size; ++i)
                if (dev[i] != char((i * 7 + c) & 0xFF))
                    return false;
        }
        return true;
    }

    // Replaces sim/faults; the fault counts start afresh.
    void set_faults(const std::string& lines)
    {
        qvtest::write_file(dir / "sim/faults", lines);
        sim_reset();
    }

    // Opens the store afresh, as the next run would, and returns the entries in use.
    Entries reopen()
    {
        env_store_release();
        sim_reset();
        if (env_store_open() != 0)
            return {"<open failed>"};
        return in_use();
    }

    static Entries in_use()
    {
        const char* d = env_store_data();
        return d ? parse_entries(d, env_data_size) : Entries{};
    }
};

}  // namespace envtest
