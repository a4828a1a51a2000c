// mkupgrade against the image layout, rebuilt here byte by byte from the layout rules alone.
#include "tests/support/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace qvtest;

namespace {

// Bit by bit, so that it shares nothing with the product's table-driven sum.
uint32_t reference_crc(const std::string& data)
{
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : data) {
        c ^= b;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

void put32(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

const char* const slot_names[6] = {"cmd", "bld", "ker", "fs", "tool", "bld2"};
const size_t slot_units[6] = {2048, 131072, 2048, 2048, 2048, 131072};

struct Part {
    int slot;
    std::string data;
    uint32_t version;
};

std::string expected_image(const std::vector<Part>& parts, uint32_t default_version, uint32_t date,
                           uint64_t mask)
{
    std::string image(2048, '\0');
    for (int i = 0; i < 6; ++i) {
        size_t at = 80 * static_cast<size_t>(i);
        put32(image, at + 8, default_version);
        image.replace(at + 24, std::string(slot_names[i]).size(), slot_names[i]);
    }
    for (const Part& p : parts) {
        size_t at = 80 * static_cast<size_t>(p.slot);
        put32(image, at + 8, p.version);
        size_t unit = slot_units[p.slot];
        size_t padded = (p.data.size() + unit - 1) / unit * unit;
        if (padded == 0)
            continue;
        std::string component = p.data + std::string(padded - p.data.size(), '\xFF');
        put32(image, at + 0, static_cast<uint32_t>(image.size()));
        put32(image, at + 4, static_cast<uint32_t>(padded));
        put32(image, at + 20, date);
        put32(image, at + 76, reference_crc(component));
        image += component;
    }
    put32(image, 480, static_cast<uint32_t>(mask));
    put32(image, 484, static_cast<uint32_t>(mask >> 32));
    return image;
}

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return s;
}

std::vector<std::string> dir_entries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

struct PackCase {
    const char* what;
    std::vector<std::string> options;  // before -o
    std::vector<Part> parts;
    std::vector<std::string> version_suffix;  // per part, "" for none
    uint32_t default_version;
    uint64_t mask;
};

TEST(Mkupgrade, ImagesFollowTheLayoutByteForByte)
{
    const uint32_t date = 0x07E5021A;  // 2021-02-26
    const std::vector<PackCase> cases = {
        {"a component below, at and above the unit", {"--version", "1.7.0.77"},
         {{0, pattern(3, 1), 0x0107004D}, {2, pattern(2048, 2), 0x0107004D}, {3, pattern(2049, 3), 0x0107004D}},
         {"", "", ""}, 0x0107004D, 0},
        {"every slot, own versions, the boot loaders padded to 128 KiB",
         {"--ai-mask", "0x123456789A"},
         {{0, pattern(1, 4), 0x01020304},
          {1, pattern(131073, 5), 0xFF000001},
          {2, pattern(5000, 6), 0},
          {3, pattern(70000, 7), 0},
          {4, pattern(100, 8), 0x0A0B0C0D},
          {5, pattern(131072, 9), 0}},
         {"@1.2.3.4", "@255.0.0.1", "", "", "@10.11.12.13", ""}, 0, 0x123456789AULL},
        {"data in slot order whatever the order of the arguments; gaps stay empty",
         {"--ai-mask", "10", "--version", "2.0.0.1"},
         {{5, pattern(10, 10), 0x02000001}, {3, pattern(4096, 11), 0x02000001}, {1, pattern(7, 12), 0x02000001}},
         {"", "", ""}, 0x02000001, 10},
        {"an empty file gives an entry without data but with its version",
         {},
         {{2, "", 0x01000000}, {3, pattern(1, 13), 0}},
         {"@1.0.0.0", ""}, 0, 0},
        {"no component at all: a header of six named entries", {"--version", "0.0.0.9"}, {}, {}, 9, 0},
    };
    for (const PackCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--date", "2021-02-26", "-o", dir / "out.bin"});
        for (size_t i = 0; i < c.parts.size(); ++i) {
            std::string file = dir / ("part" + std::to_string(i));
            write_file(file, c.parts[i].data);
            args.push_back(std::string(slot_names[c.parts[i].slot]) + "=" + file + c.version_suffix[i]);
        }
        std::vector<Part> in_slot_order = c.parts;
        std::sort(in_slot_order.begin(), in_slot_order.end(),
                  [](const Part& a, const Part& b) { return a.slot < b.slot; });
        RunResult r = run(bin("mkupgrade"), args);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(read_file(dir / "out.bin"), expected_image(in_slot_order, c.default_version, date, c.mask));
    }
}

TEST(Mkupgrade, DateComesFromSourceDateEpochElseToday)
{
    TempDir dir;
    write_file(dir / "k", "kernel");
    const std::string out = dir / "out.bin";
    // 2024-02-29 23:59:59 UTC
    RunResult r = run(bin("mkupgrade"), {"-o", out, "ker=" + (dir / "k")}, "", {"SOURCE_DATE_EPOCH=1709251199"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(out), expected_image({{2, "kernel", 0}}, 0, 0x07E8021D, 0));

    auto today = [] {
        time_t t = time(nullptr);
        struct tm tm;
        gmtime_r(&t, &tm);
        return static_cast<uint32_t>((tm.tm_year + 1900) << 16 | (tm.tm_mon + 1) << 8 | tm.tm_mday);
    };
    uint32_t before = today();
    r = run(bin("mkupgrade"), {"-o", out, "ker=" + (dir / "k")});
    uint32_t after = today();
    ASSERT_EQ(r.status, 0) << r.err;
    std::string image = read_file(out);
    EXPECT_TRUE(image == expected_image({{2, "kernel", 0}}, 0, before, 0) ||
                image == expected_image({{2, "kernel", 0}}, 0, after, 0));
}

TEST(Mkupgrade, RefusesBadInputWithStatus2AndLeavesNoFile)
{
    struct BadCase {
        std::vector<std::string> args;  // "@" stands for the scratch folder
        std::string err;
        std::vector<std::string> env;
    };
    const std::string usage =
        "usage: mkupgrade [--version A.B.C.D] [--date YYYY-MM-DD] [--ai-mask MASK] -o OUT SLOT=FILE[@A.B.C.D]...\n"
        "  SLOT: cmd, bld, ker, fs, tool, bld2\n";
    const std::vector<BadCase> cases = {
        {{"kernel=@/k"}, "mkupgrade: unknown slot 'kernel' (slots: cmd, bld, ker, fs, tool, bld2)\n", {}},
        {{"ker=@/k", "fs=@/k", "ker=@/k"}, "mkupgrade: slot 'ker' given twice\n", {}},
        {{"ker=@/missing"}, "mkupgrade: cannot read '@/missing': No such file or directory\n", {}},
        {{"ker=@"}, "mkupgrade: cannot read '@': not a regular file\n", {}},
        {{"ker"}, "mkupgrade: 'ker' is not SLOT=FILE[@A.B.C.D]\n", {}},
        {{"ker=@/k@1.2.3"}, "mkupgrade: malformed version '1.2.3' (want A.B.C.D, each 0 to 255)\n", {}},
        {{"ker=@/k@1.2.3.256"}, "mkupgrade: malformed version '1.2.3.256' (want A.B.C.D, each 0 to 255)\n", {}},
        {{"--version", "1.2.3.4.5", "ker=@/k"},
         "mkupgrade: malformed version '1.2.3.4.5' (want A.B.C.D, each 0 to 255)\n", {}},
        {{"--version", "1..3.4", "ker=@/k"}, "mkupgrade: malformed version '1..3.4' (want A.B.C.D, each 0 to 255)\n",
         {}},
        {{"--date", "2023-02-29", "ker=@/k"}, "mkupgrade: malformed date '2023-02-29' (want a calendar date YYYY-MM-DD)\n",
         {}},
        {{"--date", "2023-1-05", "ker=@/k"}, "mkupgrade: malformed date '2023-1-05' (want a calendar date YYYY-MM-DD)\n",
         {}},
        {{"ker=@/k"}, "mkupgrade: malformed date '-5' in SOURCE_DATE_EPOCH (want seconds since 1970)\n",
         {"SOURCE_DATE_EPOCH=-5"}},
        {{"--ai-mask", "0x", "ker=@/k"},
         "mkupgrade: malformed AI mask '0x' (want decimal or 0x-hexadecimal, 64 bits)\n", {}},
        {{"--ai-mask", "0x10000000000000000", "ker=@/k"},
         "mkupgrade: malformed AI mask '0x10000000000000000' (want decimal or 0x-hexadecimal, 64 bits)\n", {}},
        {{"--ai-mask", "-1", "ker=@/k"},
         "mkupgrade: malformed AI mask '-1' (want decimal or 0x-hexadecimal, 64 bits)\n", {}},
        {{"--bogus", "ker=@/k"}, "", {}},
    };
    for (const BadCase& c : cases) {
        TempDir dir;
        write_file(dir / "k", "kernel bytes");
        std::vector<std::string> args = {"-o", dir / "out.bin"};
        std::string err = c.err;
        for (std::string a : c.args) {
            for (size_t at; (at = a.find('@')) != std::string::npos && (a[at + 1] == '/' || at + 1 == a.size());)
                a.replace(at, 1, dir.path());
            args.push_back(a);
        }
        for (size_t at; (at = err.find("'@")) != std::string::npos;)
            err.replace(at + 1, 1, dir.path());
        SCOPED_TRACE(args.back());
        RunResult r = run(bin("mkupgrade"), args, "", c.env);
        EXPECT_EQ(r.status, 2);
        if (c.err.empty())
            EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), usage);  // after the C library's diagnostic
        else
            EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"k"});
    }

    TempDir dir;
    write_file(dir / "k", "x");
    RunResult r = run(bin("mkupgrade"), {"ker=" + (dir / "k")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, usage);
}

TEST(Mkupgrade, RefusesComponentsPast32BitOffsets)
{
    TempDir dir;
    // Sparse files: the limit is found from their sizes before any byte is read.
    auto sparse = [&](const std::string& name, off_t size) {
        int fd = open((dir / name).c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    };
    sparse("fs", (off_t{1} << 32) - 2048 - 2048);
    sparse("ker", 2048);
    sparse("tool", 1);
    // Header, kernel and root filesystem end exactly at 4 GiB; the tool's 2048 bytes go past it.
    RunResult r = run(bin("mkupgrade"), {"-o", dir / "out.bin", "ker=" + (dir / "ker"), "fs=" + (dir / "fs"),
                                         "tool=" + (dir / "tool")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "mkupgrade: components too large: the image would be 4294969344 bytes, past what 32-bit "
                     "offsets reach\n");
    EXPECT_FALSE(file_exists(dir / "out.bin"));
}

}  // namespace
