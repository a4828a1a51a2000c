// Reading, listing, checking and extracting UpgradeImages, in process, on files in a scratch folder.
#include "common/crc32.h"
#include "sim/sim.h"
#include "tests/support/run.h"
#include "update/image/image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace qvtest;

namespace {

using qvtest::capture;
using qvtest::Output;

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 37 + seed * 11 + (i >> 9)) & 0xFF);
    return s;
}

// A file in the working directory.
void put(const std::string& name, const std::string& content) { write_file("./" + name, content); }

std::string hex8(uint32_t v)
{
    char hex[9];
    snprintf(hex, sizeof hex, "%08X", v);
    return hex;
}

// An image under construction: the header is edited freely, components are appended.
struct TestImage {
    ImageHeader header{};

    TestImage()
    {
        for (size_t i = 0; i < component_slots.size(); ++i) {
            memcpy(header.entries[i].name, component_slots[i].name.data(), component_slots[i].name.size());
            header.entries[i].version = 0x0107004D;
        }
    }
    ComponentEntry& entry(int i) { return header.entries[i]; }
    // Appends data for entry i, with a correct CRC.
    void add(int i, const std::string& bytes)
    {
        ComponentEntry& e = entry(i);
        e.offset = static_cast<uint32_t>(IMAGE_HEADER_SIZE + data.size());
        e.size = static_cast<uint32_t>(bytes.size());
        e.date = 0x07E5021A;
        e.crc32 = crc32(0, bytes.data(), bytes.size());
        data += bytes;
    }
    std::string bytes() const
    {
        return std::string(reinterpret_cast<const char*>(&header), sizeof header) + data;
    }
    void save(const std::string& path) const { put(path, bytes()); }

    std::string data;
};

// Relative paths are the working directory's, the scratch folder; absolute ones are the
// simulated camera's, in the folder "cam" beside them.
class ImageTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(camsim_init(root, true), 0);
        setenv("CAMSIM_ROOT", root.c_str(), 1);
        sim_reset();
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(old_cwd), 0); }

    std::string at(const std::string& path) const { return root + path; }

    TempDir dir;
    std::string root = dir / "cam";
    char old_cwd[4096];
};

TEST_F(ImageTest, ListingShowsNamedEntriesAndTheFieldsOfPresentOnes)
{
    TestImage img;
    img.add(0, pattern(1536, 1));             // 1 K
    img.entry(0).addr = 0xABCDEF01;           // shown, upper-case
    img.entry(0).flag = 0x10;
    img.entry(1).version = 0xFF00FF01;        // named, no data
    img.add(2, pattern(2048 * 3, 2));
    img.entry(3).size = 4096;                 // a size without an offset: not present
    img.add(4, pattern(2048, 4));
    img.entry(4).name[0] = '\0';              // present but unnamed: skipped
    memset(img.entry(5).name, 'z', sizeof img.entry(5).name);  // no terminator in the field
    img.save("image.bin");

    Output r = capture([] { return image_list_info("image.bin"); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Image info: \n"
              "cmd: \n"
              "offset  = 0x00000800\n"
              "size    = 1 K\n"
              "addr    = 0xABCDEF01\n"
              "flag    = 0x00000010\n"
              "date    = 2021/2/26\n"
              "crc32   = 0x" + hex8(img.entry(0).crc32) + "\n"
              "version = 1.7.0.77\n"
              "bld: \n"
              "version = 255.0.255.1\n"
              "ker: \n"
              "offset  = 0x00000E00\n"
              "size    = 6 K\n"
              "addr    = 0x00000000\n"
              "flag    = 0x00000000\n"
              "date    = 2021/2/26\n"
              "crc32   = 0x" + hex8(img.entry(2).crc32) + "\n"
              "version = 1.7.0.77\n"
              "fs: \n"
              "version = 1.7.0.77\n" +
              std::string(52, 'z') + ": \n"
              "version = 1.7.0.77\n");

    ImageHeader header;
    ASSERT_EQ(image_get_header_info("image.bin", &header), 0);
    EXPECT_EQ(memcmp(&header, &img.header, sizeof header), 0);
}

TEST_F(ImageTest, UnreadableImagesAreRefusedByEveryReader)
{
    put("short.bin", std::string(2047, '\0'));
    ASSERT_EQ(mkdir("folder.bin", 0755), 0);
    // A folder passes the size test only where its file system reports it as 2048 bytes or more
    // (ext4: 4096; tmpfs: a few dozen), and then fails at the read.
    struct stat folder;
    ASSERT_EQ(stat("folder.bin", &folder), 0);
    const std::string folder_err = folder.st_size >= 2048 ? "read output imager: Is a directory\n"
                                                          : "Bad size: \"folder.bin\" is no valid image\n";
    struct Case {
        const char* path;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"missing.bin", "open output imager: No such file or directory\n"},
        {"short.bin", "Bad size: \"short.bin\" is no valid image\n"},
        {"folder.bin", folder_err},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Output list = capture([&] { return image_list_info(c.path); });
        EXPECT_EQ(list.rc, -1);
        EXPECT_EQ(list.out, "");
        EXPECT_EQ(list.err, c.err);
        Output check = capture([&] { return check_img_crc(c.path); });
        EXPECT_EQ(check.rc, -1);
        EXPECT_EQ(check.out, "");
        EXPECT_EQ(check.err, c.err);
        Output analysis = capture([&] { return image_analysis(c.path); });
        EXPECT_EQ(analysis.rc, -1);
        EXPECT_EQ(analysis.out, std::string("==============name ") + c.path + "=\n");
        EXPECT_EQ(analysis.err, c.err);
    }

    // Exactly 2048 bytes is a valid, empty image.
    put("empty.bin", std::string(2048, '\0'));
    Output list = capture([] { return image_list_info("empty.bin"); });
    EXPECT_EQ(list.rc, 0);
    EXPECT_EQ(list.out, "Image info: \n");
    EXPECT_EQ(capture([] { return check_img_crc("empty.bin"); }).rc, 0);
}

std::string crc_block(const ComponentEntry& e, const char* name)
{
    char buf[512];
    snprintf(buf, sizeof buf,
             "%s: \noffset  = 0x%08X\nsize    = 0x%08X (%u K)\naddr    = 0x00000000\nflag    = 0x00000000\n"
             "date    = 2021/2/26\ncrc32   = 0x%08X\nversion = 1.7.0.77\n",
             name, e.offset, e.size, e.size >> 10, e.crc32);
    return buf;
}

TEST_F(ImageTest, CrcCheckPassesAGoodImageAndStopsAtTheFirstMismatch)
{
    TestImage img;
    img.add(0, pattern(3000, 1));  // read as 1024, 1024 and 952 bytes
    img.add(1, pattern(2048, 2));
    img.add(2, pattern(1, 3));
    img.add(3, pattern(5000, 4));
    img.add(5, pattern(100, 5));
    img.save("good.bin");
    std::string all;
    for (int i : {0, 1, 2, 3, 5})
        all += crc_block(img.entry(i), component_slots[static_cast<size_t>(i)].name.data());
    Output good = capture([] { return check_img_crc("good.bin"); });
    EXPECT_EQ(good.rc, 0);
    EXPECT_EQ(good.err, "");
    EXPECT_EQ(good.out, all);

    img.entry(2).crc32 ^= 1;
    img.save("bad.bin");
    Output bad = capture([] { return check_img_crc("bad.bin"); });
    EXPECT_EQ(bad.rc, -1);
    EXPECT_EQ(bad.out, crc_block(img.entry(0), "cmd") + crc_block(img.entry(1), "bld") +
                           crc_block(img.entry(2), "ker"));
    EXPECT_EQ(bad.err, "check_img_crc ker failed\n");

    // A damaged component in an unnamed entry is not looked at.
    img.entry(2).name[0] = '\0';
    img.save("unnamed.bin");
    Output unnamed = capture([] { return check_img_crc("unnamed.bin"); });
    EXPECT_EQ(unnamed.rc, 0);
    EXPECT_EQ(unnamed.out, crc_block(img.entry(0), "cmd") + crc_block(img.entry(1), "bld") +
                               crc_block(img.entry(3), "fs") + crc_block(img.entry(5), "bld2"));
}

TEST_F(ImageTest, CrcCheckFailsOnAComponentPastTheEndOfTheFile)
{
    TestImage img;
    img.add(2, pattern(4096, 1));
    std::string whole = img.bytes();
    struct Case {
        const char* what;
        size_t length;
    };
    for (Case c : {Case{"header only", 2048}, Case{"component cut short", whole.size() - 1}}) {
        SCOPED_TRACE(c.what);
        put("cut.bin", whole.substr(0, c.length));
        Output r = capture([] { return check_img_crc("cut.bin"); });
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.out, crc_block(img.entry(2), "ker"));
        EXPECT_EQ(r.err, "read output imager: Success\n");
    }
}

class ExtractTest : public ImageTest {
protected:
    void SetUp() override
    {
        ImageTest::SetUp();
        image = pattern(10000, 7);
        put("image.bin", image);
        fd = open("image.bin", O_RDONLY);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        close(fd);
        ImageTest::TearDown();
    }
    std::string image;
    int fd = -1;
};

TEST_F(ExtractTest, CopiesTheRangeAndLeavesTheImageAfterIt)
{
    struct Case {
        const char* what;
        uint32_t offset, size;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"several pieces", 2048, 3000, image.substr(2048, 3000)},
        {"exactly two pieces", 100, 2048, image.substr(100, 2048)},
        {"nothing", 5, 0, ""},
        {"past the end: what exists", 9000, 4096, image.substr(9000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        put("out.bin", std::string(20000, 'x'));  // an older, longer file leaves nothing behind
        Output r = capture([&] { return image_extract_data(fd, "out.bin", c.offset, c.size); });
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file("out.bin"), c.expected);
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), static_cast<off_t>(std::min<uint64_t>(c.offset + uint64_t{c.size}, 10000)));
    }

    mode_t old_mask = umask(022);
    EXPECT_EQ(capture([&] { return image_extract_data(fd, "new.bin", 0, 10); }).rc, 0);
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat("new.bin", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(ExtractTest, DoesNotWriteThroughALink)
{
    put("victim", "keep me");
    ASSERT_EQ(symlink("victim", "out.bin"), 0);
    Output r = capture([&] { return image_extract_data(fd, "out.bin", 0, 100); });
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "open output imager: Too many levels of symbolic links\n");
    EXPECT_EQ(read_file("victim"), "keep me");
}

TEST_F(ExtractTest, DoesNotWriteIntoAFilePlantedByAnotherUser)
{
    put("out.bin", "theirs");
    if (chown("out.bin", 65534, 65534) != 0)
        GTEST_SKIP() << "giving a file away needs root";
    Output r = capture([&] { return image_extract_data(fd, "out.bin", 0, 100); });
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "open output imager: Operation not permitted\n");
    EXPECT_EQ(read_file("out.bin"), "theirs");
}

TEST_F(ExtractTest, ReportsEachFailingStep)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    int write_only = open("image.bin", O_WRONLY);
    ASSERT_GE(write_only, 0);
    struct Case {
        const char* what;
        int image_fd;
        const char* out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"output folder missing", fd, "nowhere/out.bin", "open output imager: No such file or directory\n"},
        {"image not seekable", pipe_fds[0], "out.bin", "lseek input imager: Illegal seek\n"},
        {"image not readable", write_only, "out.bin", "read input imager: Bad file descriptor\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Output r = capture([&] { return image_extract_data(c.image_fd, c.out, 0, 100); });
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    close(write_only);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

TEST_F(ImageTest, AnalysisInstallsEveryPresentCmdEntryInTurn)
{
    TestImage img;
    img.add(0, pattern(4096, 1));
    img.add(2, pattern(2048, 2));
    img.add(4, pattern(2048, 3));
    memcpy(img.entry(4).name, "cmd", 4);  // found by its name, not by its place
    img.save("image.bin");
    Output r = capture([] { return image_analysis("image.bin"); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "==============name image.bin=\n"
              "Create file: /dev/shm/update \n"
              "Create file: /dev/shm/update \n");
    // The later one replaces the earlier one whole.
    EXPECT_EQ(read_file(at("/dev/shm/update")), pattern(2048, 3));
    EXPECT_EQ(read_file(at("/sim/shell.log")), "chmod 777 /dev/shm/update\t0\nchmod 777 /dev/shm/update\t0\n");
}

TEST_F(ImageTest, AnalysisWithoutACmdComponentOnlyPrintsItsBanner)
{
    TestImage img;
    img.add(2, pattern(2048, 1));
    img.entry(0).size = 2048;  // a size without an offset carries no data
    img.add(3, pattern(2048, 2));
    memcpy(img.entry(3).name, "cmdx", 5);
    img.save("image.bin");
    Output r = capture([] { return image_analysis("image.bin"); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "==============name image.bin=\n");
    EXPECT_FALSE(file_exists(at("/dev/shm/update")));
    EXPECT_FALSE(file_exists(at("/sim/shell.log")));
}

TEST_F(ImageTest, AnalysisStopsAtAFailedExtraction)
{
    TestImage img;
    img.add(0, pattern(3000, 1));
    img.add(4, pattern(2048, 3));
    memcpy(img.entry(4).name, "cmd", 4);
    img.save("image.bin");
    put("cam/sim/faults", "fail write /dev/shm/update 2 EIO\n");
    sim_reset();
    Output r = capture([] { return image_analysis("image.bin"); });
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "==============name image.bin=\nCreate file: /dev/shm/update \n");
    EXPECT_EQ(r.err, "write output imager: Input/output error\nwrite /dev/shm/update faild\n");
    EXPECT_FALSE(file_exists(at("/sim/shell.log")));
}

}  // namespace
