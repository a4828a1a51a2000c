// The NAND writer on devices the test lays out: layout on flash, bad blocks, refusals, faults.
#include "tests/flash/flash_fixture.h"
#include "platform/platform.h"
#include "update/flash/flash.h"

#include <dirent.h>
#include <string>
#include <vector>

using namespace flashtest;

namespace {

constexpr uint32_t PAGE = 2048;
constexpr uint32_t BLOCK = 4 * PAGE;
constexpr uint32_t PAGES = 32;
constexpr uint32_t IMAGE_LEAD = 2048 + 37;  // where the component starts in the image
constexpr char UNTOUCHED = char(0xA5);

// The simulated platform loads the camera at its first call; do that before counting descriptors.
void warm_up()
{
    struct stat st;
    pf_stat("/flash.conf", &st);
}

int open_descriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

class NandWrite : public SimCamera {
protected:
    // mtd0: 8 erase blocks of 4 pages, filled with a pattern an erase or a write would change.
    void device(const std::string& bad = "", uint32_t page = PAGE, uint32_t oob = 64, uint32_t block = BLOCK,
                uint32_t pages = PAGES)
    {
        qvtest::write_file(dir / "flash.conf", "# test device\nmtd0 data " + std::to_string(pages * page) + " " +
                                                   std::to_string(block) + " " + std::to_string(page) + " " +
                                                   std::to_string(oob) + " nand" +
                                                   (bad.empty() ? "" : " bad=" + bad) + "\n");
        qvtest::write_file(dev_file(0), std::string(pages * page, UNTOUCHED));
        sim_reset();
    }

    // The image: a lead-in, then `stored` bytes of the component's data.
    std::string image(const std::string& payload, size_t stored)
    {
        qvtest::write_file(dir / "dev/shm/img", std::string(IMAGE_LEAD, 'H') + payload.substr(0, stored));
        return "/dev/shm/img";
    }

    static WriteJob job(uint32_t size, int pad)
    {
        WriteJob j{};
        snprintf(j.dev, sizeof j.dev, "/dev/mtd0");
        snprintf(j.name, sizeof j.name, "ker2");
        j.offset = IMAGE_LEAD;
        j.size = size;
        j.pad = pad;
        return j;
    }
};

// What mtd0 should hold, page by page: '#' untouched, '.' erased, a digit or letter the data
// page of that number (0-9, then a-z), its tail padded with 0xFF when the data ends in it.
std::string expected_flash(const std::string& map, const std::string& payload, uint32_t page = PAGE)
{
    std::string out;
    for (char c : map) {
        if (c == '#') {
            out += std::string(page, UNTOUCHED);
        } else if (c == '.') {
            out += std::string(page, char(0xFF));
        } else {
            size_t k = c <= '9' ? c - '0' : c - 'a' + 10;
            std::string data = payload.substr(k * page, page);
            out += data + std::string(page - data.size(), char(0xFF));
        }
    }
    return out;
}

struct Case {
    const char* what;
    const char* bad;
    uint32_t size;
    int pad;
    long stored;  // bytes of data the image holds; -1: all of size
    int rc;
    std::string err;
    std::string map;  // 32 pages, see expected_flash
};

const std::string ALL_ERASED(32, '.');
const std::string UNTOUCHED_MAP(32, '#');

const std::vector<Case> cases{
    {"whole pages", "", 5 * PAGE, 1, -1, 0, "", "01234" + std::string(27, '.')},
    {"short last page padded", "", 5 * PAGE + 100, 1, -1, 0, "", "012345" + std::string(26, '.')},
    {"short last page refused without pad", "", 5 * PAGE + 100, 0, -1, 6, "file is not page aligned.\n",
     UNTOUCHED_MAP},
    {"nothing to write", "", 0, 1, -1, 0, "", ALL_ERASED},
    {"bad block inside", "1", 6 * PAGE, 1, -1, 0, "Bad block at 2000, 1 block(s) from 2000 will be skipped\n",
     "0123####45" + std::string(22, '.')},
    {"two bad blocks in a row", "1,2", 6 * PAGE, 1, -1, 0,
     "Bad block at 2000, 1 block(s) from 2000 will be skipped\n"
     "Bad block at 4000, 1 block(s) from 4000 will be skipped\n",
     "0123########45" + std::string(18, '.')},
    {"first block bad", "0", 2 * PAGE, 1, -1, 0, "Bad block at 0, 1 block(s) from 0 will be skipped\n",
     "####01" + std::string(26, '.')},
    {"bad block pushes data past the end", "3", 32 * PAGE, 1, -1, 11,
     "Bad block at 6000, 1 block(s) from 6000 will be skipped\n"
     "Data was only partially written due to error\n",
     "0123456789ab####cdefghijklmnopqr"},
    {"last block bad with data left", "7", 32 * PAGE, 1, -1, 8,
     "Bad block at e000, 1 block(s) from e000 will be skipped\n"
     "ioctl get bad block: Invalid argument\n",
     "0123456789abcdefghijklmnopqr####"},
    {"does not fit", "", 33 * PAGE, 1, -1, 7,
     "Image 67584 bytes, NAND page 2048 bytes, OOB area 64 bytes, device size 65536 bytes\n"
     "Input file does not fit into device!\n",
     UNTOUCHED_MAP},
    {"whole pages fit, the partial one does not", "", 32 * PAGE + 100, 1, -1, 11,
     "Data was only partially written due to error\n", "0123456789abcdefghijklmnopqrstuv"},
    {"image ends inside a page", "", 5 * PAGE, 1, 3 * PAGE + 1000, 9, "File I/O error on input file.\n",
     "012" + std::string(29, '.')},
    {"image ends on a page boundary", "", 5 * PAGE, 1, 3 * PAGE, 11,
     "read file return 0 size!\nData was only partially written due to error\n", "012" + std::string(29, '.')},
};

}  // namespace

TEST_F(NandWrite, LaysTheComponentOutPageByPage)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        device(c.bad);
        std::string payload = pattern(c.size, c.size % 251);
        std::string path = image(payload, c.stored < 0 ? c.size : size_t(c.stored));
        WriteJob j = job(c.size, c.pad);
        DevStats before = stats()["mtd0"];
        warm_up();
        int fds = open_descriptors();
        Output o = capture([&] { return nand_flash_write_file(path.c_str(), &j); });
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(open_descriptors(), fds);
        EXPECT_TRUE(flash(0) == expected_flash(c.map, payload)) << "flash differs from " << c.map;
        DevStats after = stats()["mtd0"];
        EXPECT_EQ(after.reprogrammed, before.reprogrammed);
        EXPECT_EQ(after.bad_writes, before.bad_writes);
    }
}

TEST_F(NandWrite, AcceptsExactlyTheThreeKnownGeometries)
{
    struct Geometry {
        uint32_t page, oob;
        int rc;
    };
    for (Geometry g : {Geometry{2048, 64, 0}, {512, 16, 0}, {256, 8, 0}, {4096, 128, 4}, {2048, 16, 4},
                       {512, 64, 4}}) {
        SCOPED_TRACE(std::to_string(g.page) + "/" + std::to_string(g.oob));
        device("1", g.page, g.oob, 4 * g.page);
        uint32_t size = 5 * g.page + g.page / 2;
        std::string payload = pattern(size, g.page);
        std::string path = image(payload, size);
        WriteJob j = job(size, 1);
        Output o = capture([&] { return nand_flash_write_file(path.c_str(), &j); });
        EXPECT_EQ(o.rc, g.rc);
        if (g.rc == 0) {
            char report[80];
            snprintf(report, sizeof report, "Bad block at %x, 1 block(s) from %x will be skipped\n", 4 * g.page,
                     4 * g.page);
            EXPECT_EQ(o.err, report);
            EXPECT_TRUE(flash(0) == expected_flash("0123####45" + std::string(22, '.'), payload, g.page));
        } else {
            EXPECT_EQ(o.err, "Unknown flash (not normal NAND)\n");
            EXPECT_TRUE(flash(0) == std::string(PAGES * g.page, UNTOUCHED));
        }
    }
}

TEST_F(NandWrite, EveryFailingCallEndsWithItsCodeAndClosesWhatItOpened)
{
    struct Fault {
        const char* faults;
        int rc;
        const char* err;
        bool erased;
    };
    const Fault table[] = {
        {"fail open /dev/mtd0 1 EACCES", 2, "open flash: Permission denied\n", false},
        {"fail MEMGETINFO /dev/mtd0 1 EIO", 3, "MEMGETINFO: Input/output error\n", false},
        {"fail open /dev/shm/img 1 ENOENT", 5, "open input file.\n", false},
        {"shell /usr/sbin/flash_erase 1", 1, "Fail on erase mtd device!\n", false},
        {"fail MEMGETBADBLOCK /dev/mtd0 2 EIO", 8, "ioctl get bad block: Input/output error\n", true},
        {"fail pread /dev/shm/img 3 EIO", 9, "File I/O error on input file.\n", true},
        {"fail pwrite /dev/mtd0 3 EIO", 10, "Pwrite file to mtd fail.\n", true},
    };
    for (const Fault& f : table) {
        SCOPED_TRACE(f.faults);
        device();
        std::string payload = pattern(6 * PAGE, 3);
        std::string path = image(payload, payload.size());
        set_faults(std::string(f.faults) + "\n");
        WriteJob j = job(6 * PAGE, 1);
        warm_up();
        int fds = open_descriptors();
        Output o = capture([&] { return nand_flash_write_file(path.c_str(), &j); });
        EXPECT_EQ(o.rc, f.rc);
        EXPECT_EQ(o.err, f.err);
        EXPECT_EQ(open_descriptors(), fds);
        if (!f.erased) {
            EXPECT_TRUE(flash(0) == std::string(PAGES * PAGE, UNTOUCHED));
        }
    }
}

TEST_F(NandWrite, MissingDeviceIsReportedAsOpenFailure)
{
    device();
    std::string path = image(pattern(PAGE, 1), PAGE);
    WriteJob j = job(PAGE, 1);
    snprintf(j.dev, sizeof j.dev, "/dev/");  // a partition /proc/mtd did not list
    Output o = capture([&] { return nand_flash_write_file(path.c_str(), &j); });
    EXPECT_EQ(o.rc, 2);
    EXPECT_EQ(o.err.rfind("open flash: ", 0), 0u) << o.err;
}

TEST_F(NandWrite, EraseRunsThroughTheShellAndCachesAreDropped)
{
    device();
    std::string path = image(pattern(PAGE, 1), PAGE);
    WriteJob j = job(PAGE, 1);
    ASSERT_EQ(capture([&] { return clean_memory(); }).rc, 0);
    ASSERT_EQ(capture([&] { return nand_flash_write_file(path.c_str(), &j); }).rc, 0);
    EXPECT_EQ(qvtest::read_file(dir / "sim/shell.log"),
              "echo 3 > /proc/sys/vm/drop_caches\t0\nsync\t0\n/usr/sbin/flash_erase /dev/mtd0 0 0\t0\nsync\t0\n");

    set_faults("shell echo 3 1\n");
    Output o = capture([&] { return clean_memory(); });
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.err, "clean memory failed!\n");
}
