// The MTD devices of the simulated camera: NAND rules, requests, root mapping, faults, power cuts.
#include "tests/sim/sim_fixture.h"

#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>

using namespace simtest;
using qvtest::write_file;

namespace {

struct Fd {
    int fd;
    explicit Fd(const char* path, int flags = O_RDWR) : fd(pf_open(path, flags)) {}
    ~Fd()
    {
        if (fd >= 0)
            pf_close(fd);
    }
};

std::string bytes(size_t n, char c) { return std::string(n, c); }

int erase(int fd, uint32_t start, uint32_t length)
{
    erase_info_user e {start, length};
    return pf_ioctl(fd, MEMERASE, &e);
}

}  // namespace

// As the kernel's NAND core has it for 2048-byte pages: writes of whole 512-byte sub-pages,
// anywhere in a page; the rest of the page keeps what it held.
TEST_F(SimTest, NandWritesMustBeWholeSubPagesInsideTheDevice)
{
    constexpr uint32_t sub = page / 4;
    struct Case {
        const char* what;
        off_t offset;
        size_t length;
        ssize_t result;
        int err;
    };
    const Case cases[] = {
        {"one page", 0, page, page, 0},
        {"two pages", 3 * page, 2 * page, 2 * page, 0},
        {"a page from a sub-page boundary", 6 * page + sub, page, page, 0},
        {"one sub-page", 8 * page + 3 * sub, sub, sub, 0},
        {"two sub-pages", 9 * page, 2 * sub, 2 * sub, 0},
        {"a page and a half", 10 * page, page + page / 2, page + page / 2, 0},
        {"offset inside a sub-page", 12 * page + 100, page, -1, EINVAL},
        {"half a sub-page", 13 * page, sub / 2, -1, EINVAL},
        {"part of a page", 14 * page, 1000, -1, EINVAL},
        {"zero bytes", 15 * page, 0, 0, 0},
        {"start at the end", nand_size, page, -1, ENOSPC},
        {"runs past the end, cut to a sub-page", nand_size - sub, 1000, sub, 0},
    };
    Fd mtd("/dev/mtd0");
    ASSERT_GE(mtd.fd, 0);
    std::string data;
    for (uint32_t i = 0; i < 2 * page; ++i)
        data += static_cast<char>(i * 13 + 1);
    std::string expect = flash(0);
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(pf_pwrite(mtd.fd, data.data(), c.length, c.offset), c.result) << c.what;
        if (c.result < 0) {
            EXPECT_EQ(errno, c.err) << c.what;
        } else {
            expect.replace(static_cast<size_t>(c.offset), static_cast<size_t>(c.result), data, 0,
                           static_cast<size_t>(c.result));
        }
        // Exactly the written bytes changed, nothing around them.
        ASSERT_EQ(flash(0), expect) << c.what;
    }

    // write() goes at the current position and moves it on.
    ASSERT_EQ(pf_lseek(mtd.fd, 16 * page, SEEK_SET), 16 * page);
    ASSERT_EQ(pf_write(mtd.fd, data.data(), page), page);
    ASSERT_EQ(pf_write(mtd.fd, data.data(), sub), sub);
    EXPECT_EQ(pf_lseek(mtd.fd, 0, SEEK_CUR), 17 * page + sub);
    EXPECT_EQ(pf_write(mtd.fd, data.data(), 10), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(pf_lseek(mtd.fd, 0, SEEK_CUR), 17 * page + sub);
    EXPECT_EQ(flash(0).substr(16 * page, page + 2 * sub), data.substr(0, page) + data.substr(0, sub) +
                                                              bytes(sub, '\xFF'));
}

// The counters book each page a write touches once; only a sub-page programmed a second time
// since its erase is a program without erase.
TEST_F(SimTest, SubPagesOfOnePageMayBeProgrammedOneByOne)
{
    constexpr uint32_t sub = page / 4;
    struct Step {
        const char* what;
        uint32_t offset, length;  // a write; length 0: erase block 0
        long programmed, again;   // counters after the step
    };
    const Step steps[] = {
        {"sub-page 0 of page 0", 0, sub, 1, 0},
        {"sub-page 1 of page 0", sub, sub, 2, 0},
        {"sub-pages 2-3 of page 0 and 0-1 of page 1", 2 * sub, page, 4, 0},
        {"sub-page 3 of page 0 and 0 of page 1 again", 3 * sub, 2 * sub, 6, 2},
        {"sub-page 2 of page 1, the first time", page + 2 * sub, sub, 7, 2},
        {"page 1 whole: sub-pages 0-2 again", page, page, 8, 3},
        {"erase block 0", 0, 0, 8, 3},
        {"sub-page 0 of page 0 after the erase", 0, sub, 9, 3},
        {"40 pages from sub-page 1 of page 2: 41 pages", 2 * page + sub, 40 * page, 50, 3},
    };
    Fd mtd("/dev/mtd0");
    for (const auto& st : steps) {
        if (st.length == 0) {
            ASSERT_EQ(erase(mtd.fd, 0, nand_block), 0) << st.what;
        } else {
            ASSERT_EQ(pf_pwrite(mtd.fd, bytes(st.length, '\x5A').data(), st.length, st.offset), st.length) << st.what;
        }
        auto s = stats("nand0");
        EXPECT_EQ(s["programmed"], st.programmed) << st.what;
        EXPECT_EQ(s["program_without_erase"], st.again) << st.what;
    }
    // The bitmap lives on: a new run still knows which sub-pages hold data.
    sim_reset();
    Fd again("/dev/mtd0");
    ASSERT_EQ(pf_pwrite(again.fd, bytes(sub, '\x00').data(), sub, 2 * page), sub);
    ASSERT_EQ(pf_pwrite(again.fd, bytes(sub, '\x00').data(), sub, 3 * page), sub);
    EXPECT_EQ(stats("nand0")["program_without_erase"], 4);
}

TEST_F(SimTest, ProgrammingOnlyClearsBitsAndReprogrammingIsCountedAcrossRuns)
{
    {
        Fd mtd("/dev/mtd0");
        ASSERT_EQ(pf_pwrite(mtd.fd, bytes(page, '\x0F').data(), page, 0), page);
        ASSERT_EQ(pf_pwrite(mtd.fd, bytes(page, '\xF3').data(), page, 0), page);
        EXPECT_EQ(flash(0).substr(0, page), bytes(page, '\x03'));
    }
    auto s = stats("nand0");
    EXPECT_EQ(s["programmed"], 2);
    EXPECT_EQ(s["program_without_erase"], 1);

    sim_reset();  // a new run: page 0 is still programmed
    {
        Fd mtd("/dev/mtd0");
        ASSERT_EQ(pf_pwrite(mtd.fd, bytes(page, '\x01').data(), page, 0), page);
        ASSERT_EQ(erase(mtd.fd, 0, nand_block), 0);
        EXPECT_EQ(flash(0).substr(0, nand_block), bytes(nand_block, '\xFF'));
        ASSERT_EQ(pf_pwrite(mtd.fd, bytes(page, '\x55').data(), page, 0), page);
        EXPECT_EQ(flash(0).substr(0, page), bytes(page, '\x55'));
    }
    s = stats("nand0");
    EXPECT_EQ(s["programmed"], 4);
    EXPECT_EQ(s["program_without_erase"], 2);
    EXPECT_EQ(s["erased"], 1);
    EXPECT_EQ(s["bad_block_writes"], 0);
}

TEST_F(SimTest, WritesIntoBadBlocksAreAcceptedButCounted)
{
    Fd mtd("/dev/mtd0");
    ASSERT_EQ(pf_pwrite(mtd.fd, bytes(2 * page, '\x11').data(), 2 * page, 2 * nand_block), 2 * page);
    EXPECT_EQ(flash(0).substr(2 * nand_block, 2 * page), bytes(2 * page, '\x11'));
    EXPECT_EQ(stats("nand0")["bad_block_writes"], 2);
}

TEST_F(SimTest, EraseChecksItsRangeAndStopsAtABadBlock)
{
    write_file(dir / "dev/mtd0", bytes(nand_size, '\0'));
    Fd mtd("/dev/mtd0");
    const struct {
        uint32_t start, length;
    } invalid[] = {{0x800, nand_block}, {0, 0x800}, {3 * nand_block, 2 * nand_block}, {nand_size, nand_block}};
    for (const auto& r : invalid) {
        EXPECT_EQ(erase(mtd.fd, r.start, r.length), -1) << r.start << "+" << r.length;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(flash(0), bytes(nand_size, '\0'));

    EXPECT_EQ(erase(mtd.fd, 0, nand_size), -1);
    EXPECT_EQ(errno, EIO);
    std::string now = flash(0);
    EXPECT_EQ(now.substr(0, 2 * nand_block), bytes(2 * nand_block, '\xFF'));
    EXPECT_EQ(now.substr(2 * nand_block), bytes(2 * nand_block, '\0'));
    EXPECT_EQ(stats("nand0")["erased"], 2);

    Fd read_only("/dev/mtd0", O_RDONLY);
    EXPECT_EQ(erase(read_only.fd, 3 * nand_block, nand_block), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(pf_pwrite(read_only.fd, bytes(page, 'x').data(), page, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(SimTest, MemGetInfoFillsTheKernelsRecord)
{
    static_assert(MEMGETINFO == 0x80204D01 && sizeof(mtd_info_user) == 32);
    struct Expect {
        const char* path;
        uint8_t type;
        uint32_t flags, size, erasesize, writesize, oobsize;
    };
    const Expect devices[] = {{"/dev/mtd0", 4, 0x400, nand_size, nand_block, page, 64},
                              {"/dev/mtd1", 3, 0xC00, nor_size, nor_block, 1, 0}};
    for (const auto& e : devices) {
        Fd mtd(e.path);
        unsigned char raw[32];
        memset(raw, 0xAB, sizeof(raw));
        ASSERT_EQ(pf_ioctl(mtd.fd, MEMGETINFO, raw), 0);
        auto u32 = [&](int at) {
            uint32_t v;
            memcpy(&v, raw + at, 4);
            return v;
        };
        EXPECT_EQ(raw[0], e.type) << e.path;
        EXPECT_EQ(u32(4), e.flags) << e.path;
        EXPECT_EQ(u32(8), e.size) << e.path;
        EXPECT_EQ(u32(12), e.erasesize) << e.path;
        EXPECT_EQ(u32(16), e.writesize) << e.path;
        EXPECT_EQ(u32(20), e.oobsize) << e.path;
    }
}

TEST_F(SimTest, BadBlockQueryLockAndUnlock)
{
    Fd nand("/dev/mtd0"), nor("/dev/mtd1");
    const struct {
        int fd;
        loff_t offset;
        int result;
    } queries[] = {{nand.fd, 0, 0},
                   {nand.fd, 2 * nand_block, 1},
                   {nand.fd, 2 * nand_block + 100, 1},
                   {nand.fd, nand_size - 1, 0},
                   {nand.fd, nand_size, -1},
                   {nand.fd, loff_t {1} << 33, -1},
                   {nor.fd, 0, 0}};
    for (const auto& q : queries) {
        loff_t offset = q.offset;
        errno = 0;
        EXPECT_EQ(pf_ioctl(q.fd, MEMGETBADBLOCK, &offset), q.result) << q.offset;
        if (q.result < 0) {
            EXPECT_EQ(errno, EINVAL);
        }
    }
    erase_info_user range {0, nand_block};
    for (unsigned long request : {MEMLOCK, MEMUNLOCK}) {
        EXPECT_EQ(pf_ioctl(nand.fd, request, &range), -1);
        EXPECT_EQ(errno, 524);
        EXPECT_EQ(pf_ioctl(nor.fd, request, &range), 0);
    }
}

TEST_F(SimTest, NorWritesAreByteWiseAndOnlyClearBits)
{
    Fd nor("/dev/mtd1");
    ASSERT_EQ(pf_pwrite(nor.fd, "\x0F", 1, 3), 1);
    ASSERT_EQ(pf_pwrite(nor.fd, "\xF1\x22", 2, 3), 2);
    EXPECT_EQ(flash(1).substr(2, 4), std::string("\xFF\x01\x22\xFF", 4));
}

TEST_F(SimTest, ReadsWorkAnywhereAndEndAtTheDevicesEnd)
{
    std::string content;
    for (uint32_t i = 0; i < nand_size; ++i)
        content += static_cast<char>(i * 7);
    write_file(dir / "dev/mtd0", content);
    Fd mtd("/dev/mtd0", O_RDONLY);
    char buf[16];
    EXPECT_EQ(pf_pread(mtd.fd, buf, 10, 101), 10);
    EXPECT_EQ(std::string(buf, 10), content.substr(101, 10));
    EXPECT_EQ(pf_pread(mtd.fd, buf, 10, nand_size - 5), 5);
    EXPECT_EQ(pf_pread(mtd.fd, buf, 10, nand_size), 0);
    ASSERT_EQ(pf_lseek(mtd.fd, -3, SEEK_END), nand_size - 3);
    EXPECT_EQ(pf_read(mtd.fd, buf, 16), 3);
    EXPECT_EQ(std::string(buf, 3), content.substr(nand_size - 3));
    EXPECT_EQ(pf_read(mtd.fd, buf, 16), 0);
    EXPECT_EQ(pf_lseek(mtd.fd, 1, SEEK_END), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(SimTest, DevicesWithoutAFileDoNotExistAndOthersAreCharacterDevices)
{
    struct stat st {};
    EXPECT_EQ(pf_open("/dev/mtd2", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(pf_stat("/dev/mtd2", &st), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(pf_stat("/dev/mtd0", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(SimTest, AbsolutePathsLiveUnderTheRootRelativeOnesAreUsedAsTheyAre)
{
    ASSERT_EQ(pf_mkdir("/mnt", 0755), 0);
    int fd = pf_open("/mnt/a.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pf_write(fd, "abs", 3), 3);
    ASSERT_EQ(pf_close(fd), 0);
    EXPECT_EQ(file("mnt/a.txt"), "abs");

    std::string relative = "qv-sim-relative-" + std::to_string(getpid());
    fd = pf_open(relative.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    pf_close(fd);
    EXPECT_EQ(access(relative.c_str(), F_OK), 0);
    EXPECT_EQ(pf_unlink(relative.c_str()), 0);
    EXPECT_NE(access(relative.c_str(), F_OK), 0);

    FILE* f = pf_fopen("/proc/mtd", "r");
    ASSERT_NE(f, nullptr);
    fclose(f);
}

// Every kind of fail line: the NTH call fails, NTH+ fails that one and every later one.
TEST_F(SimTest, FailLinesHitTheNthCallOfThatCallOnThatPath)
{
    write_file(dir / "f.bin", "0123456789");
    using Call = std::function<bool()>;  // true when the call succeeded
    char buf[page];
    auto with = [](const char* path, const std::function<bool(int)>& use) {
        int fd = pf_open(path, O_RDWR);
        bool ok = use(fd);
        int err = errno;
        if (fd >= 0)
            pf_close(fd);
        errno = err;
        return ok;
    };
    struct Case {
        const char* call;
        const char* path;
        const char* err_name;
        int err;
        Call run;
    };
    const Case cases[] = {
        {"open", "/f.bin", "EACCES", EACCES, [&] { return with("/f.bin", [](int fd) { return fd >= 0; }); }},
        {"read", "/f.bin", "EIO", EIO, [&] { return with("/f.bin", [&](int fd) { return pf_read(fd, buf, 4) == 4; }); }},
        {"write", "/f.bin", "ENOSPC", ENOSPC, [&] { return with("/f.bin", [](int fd) { return pf_write(fd, "x", 1) == 1; }); }},
        {"lseek", "/f.bin", "EINVAL", EINVAL, [&] { return with("/f.bin", [](int fd) { return pf_lseek(fd, 2, SEEK_SET) == 2; }); }},
        {"fstat", "/f.bin", "EIO", EIO, [&] { return with("/f.bin", [](int fd) { struct stat st; return pf_fstat(fd, &st) == 0; }); }},
        {"stat", "/f.bin", "ENOENT", ENOENT, [] { struct stat st; return pf_stat("/f.bin", &st) == 0; }},
        {"close", "/f.bin", "EIO", EIO, [] { return pf_close(pf_open("/f.bin", O_RDONLY)) == 0; }},
        {"pread", "/dev/mtd0", "EIO", EIO, [&] { return with("/dev/mtd0", [&](int fd) { return pf_pread(fd, buf, page, 0) == page; }); }},
        {"pwrite", "/dev/mtd0", "EROFS", EROFS, [&] { return with("/dev/mtd0", [&](int fd) { memset(buf, 0xFF, page); return pf_pwrite(fd, buf, page, 0) == page; }); }},
        {"MEMGETINFO", "/dev/mtd0", "EIO", EIO, [&] { return with("/dev/mtd0", [](int fd) { mtd_info_user i; return pf_ioctl(fd, MEMGETINFO, &i) == 0; }); }},
        {"MEMERASE", "/dev/mtd0", "ENOTSUPP", 524, [&] { return with("/dev/mtd0", [](int fd) { return erase(fd, 0, nand_block) == 0; }); }},
        {"MEMGETBADBLOCK", "/dev/mtd0", "EIO", EIO, [&] { return with("/dev/mtd0", [](int fd) { loff_t o = 0; return pf_ioctl(fd, MEMGETBADBLOCK, &o) == 0; }); }},
    };
    for (const auto& c : cases) {
        for (bool later : {false, true}) {
            std::string line = std::string("fail ") + c.call + " " + c.path + (later ? " 2+ " : " 2 ") + c.err_name;
            sim_file("faults", line + "\n");
            EXPECT_TRUE(c.run()) << line << ": first call";
            errno = 0;
            EXPECT_FALSE(c.run()) << line << ": second call";
            EXPECT_EQ(errno, c.err) << line;
            EXPECT_EQ(c.run(), !later) << line << ": third call";
        }
    }
}

TEST_F(SimTest, FopenCountsAsOpenAndAFailedCloseStillReleasesTheDescriptor)
{
    write_file(dir / "f.bin", "x");
    sim_file("faults", "fail open /f.bin 1 EACCES\nfail close /f.bin 1 EIO\n");
    EXPECT_EQ(pf_fopen("/f.bin", "r"), nullptr);
    EXPECT_EQ(errno, EACCES);
    int fd = pf_open("/f.bin", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pf_close(fd), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);

    // PATH * counts the calls on every path together.
    sim_file("faults", "fail stat * 2 EIO\n");
    struct stat st {};
    EXPECT_EQ(pf_stat("/f.bin", &st), 0);
    EXPECT_EQ(pf_stat("/proc/mtd", &st), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(pf_stat("/f.bin", &st), 0);
}

TEST_F(SimTest, PowercutLeavesThePageHalfProgrammedAndEndsTheProcess)
{
    sim_file("faults", "powercut 2\n");
    write_file(dir / "out.txt", "");
    EXPECT_EXIT(
        {
            FILE* log = fopen((dir / "out.txt").c_str(), "w");
            fputs("buffered, never flushed", log);
            int fd = pf_open("/dev/mtd0", O_RDWR);
            pf_pwrite(fd, bytes(3 * page, '\0').data(), 3 * page, 0);
            _exit(0);
        },
        ::testing::ExitedWithCode(137), "");
    std::string now = flash(0);
    EXPECT_EQ(now.substr(0, page), bytes(page, '\0'));
    EXPECT_EQ(now.substr(page, page / 2), bytes(page / 2, '\0'));
    EXPECT_EQ(now.substr(page + page / 2, page / 2 + page), bytes(page / 2 + page, '\xFF'));
    EXPECT_EQ(file("out.txt"), "");
    auto s = stats("nand0");
    EXPECT_EQ(s["programmed"], 2);

    // In a write of sub-pages, half of what the write puts into the page.
    sim_file("faults", "powercut 2\n");
    EXPECT_EXIT(
        {
            int fd = pf_open("/dev/mtd0", O_RDWR);
            pf_pwrite(fd, bytes(page, '\0').data(), page, 4 * page + 1024);
            _exit(0);
        },
        ::testing::ExitedWithCode(137), "");
    now = flash(0);
    EXPECT_EQ(now.substr(4 * page, 2 * page),
              bytes(1024, '\xFF') + bytes(1024, '\0') + bytes(512, '\0') + bytes(1536, '\xFF'));
}

TEST_F(SimTest, PowercutLeavesTheBlockHalfErasedAlsoUnderFlashErase)
{
    write_file(dir / "dev/mtd0", bytes(nand_size, '\0'));
    sim_file("faults", "powercut 2\n");
    EXPECT_EXIT(pf_system("/usr/sbin/flash_erase /dev/mtd0 0 0"), ::testing::ExitedWithCode(137), "");
    std::string now = flash(0);
    EXPECT_EQ(now.substr(0, nand_block), bytes(nand_block, '\xFF'));
    EXPECT_EQ(now.substr(nand_block, nand_block / 2), bytes(nand_block / 2, '\xFF'));
    EXPECT_EQ(now.substr(nand_block + nand_block / 2), bytes(nand_size - nand_block - nand_block / 2, '\0'));
    EXPECT_EQ(stats("nand0")["erased"], 2);

    // The count is per run: a new run starts from 1 again, here with an erase request.
    write_file(dir / "dev/mtd0", bytes(nand_size, '\0'));
    sim_file("faults", "powercut 1\n");
    EXPECT_EXIT(
        {
            int fd = pf_open("/dev/mtd0", O_RDWR);
            erase(fd, nand_block, nand_block);
            _exit(0);
        },
        ::testing::ExitedWithCode(137), "");
    now = flash(0);
    EXPECT_EQ(now.substr(0, nand_block), bytes(nand_block, '\0'));
    EXPECT_EQ(now.substr(nand_block, nand_block / 2), bytes(nand_block / 2, '\xFF'));
    EXPECT_EQ(now.substr(nand_block + nand_block / 2), bytes(nand_size - nand_block - nand_block / 2, '\0'));
}

TEST(SimRoot, UnsetRootEndsTheProgramWith125)
{
    EXPECT_EXIT(
        {
            unsetenv("CAMSIM_ROOT");
            sim_reset();
            pf_time();
        },
        ::testing::ExitedWithCode(125), "CAMSIM_ROOT");
}
