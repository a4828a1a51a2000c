// The read-back check on the factory camera's ker2 partition (mtd4: 8 blocks of 64 pages).
#include "common/crc32.h"
#include "tests/flash/flash_fixture.h"
#include "update/flash/flash.h"

#include <cstring>

using namespace flashtest;

namespace {

constexpr uint32_t PAGE = 2048;
constexpr uint32_t BLOCK = 128 * 1024;
constexpr uint32_t LEAD = 4096;
constexpr uint32_t VERSION = 0x01080203;
constexpr uint32_t DATE = 0x07EA0B1C;
const char* const FACTORY_KER2 = "name:ker2\tver:0x00000000\tsize:0\tdate:0x00000000 ";

std::string hex(const char* format, uint32_t a, uint32_t b = 0)
{
    char text[80];
    snprintf(text, sizeof text, format, a, b);
    return text;
}

std::string check_lines(uint32_t size, uint32_t crc, uint32_t expected)
{
    return hex("image_length = 0x%08x\n", size) + hex("image_crc = 0x%08x, 0x%08x\n", crc, expected);
}

std::string bad_report(uint32_t block) { return hex("Bad block at %x, 1 block(s) from %x will be skipped\n", block, block); }

class NandVerify : public SimCamera {
protected:
    PartitionTable table{};
    std::string payload;

    void SetUp() override
    {
        SimCamera::SetUp();
        factory_camera();
    }

    void read_table() { ASSERT_EQ(flprog_get_part_table(&table), 0); }

    WriteJob job(uint32_t size, const char* name = "ker2")
    {
        payload = pattern(size, size % 97);
        qvtest::write_file(dir / "dev/shm/img", std::string(LEAD, 'H') + payload);
        WriteJob j{};
        snprintf(j.dev, sizeof j.dev, "/dev/mtd4");
        snprintf(j.name, sizeof j.name, "%s", name);
        j.offset = LEAD;
        j.size = size;
        j.version = VERSION;
        j.date = DATE;
        j.pad = 1;
        return j;
    }

    Output write(const WriteJob& j)
    {
        return capture([&] { return nand_flash_write_file("/dev/shm/img", &j); });
    }
    Output verify(const WriteJob& j, uint32_t crc)
    {
        return capture([&] { return nand_flash_verify_file(&j, crc, &table); });
    }

    std::string env(const char* name)
    {
        const char* v = env_store_get(name);
        return v ? v : "<none>";
    }
    std::string printenv()
    {
        return capture([] { return hs_printenv(); }).out;
    }
};

}  // namespace

TEST_F(NandVerify, ReadsBackWhatWasWrittenAndRecordsIt)
{
    struct Case {
        const char* what;
        const char* bad;
        uint32_t size;
    };
    const Case cases[] = {
        {"whole pages", "", 300 * PAGE},
        {"a bad block inside", "1", 300 * PAGE},
        // Images that break the layout rules: only the component's own bytes are checked.
        {"a short last page", "", 3 * PAGE + 100},
        {"one byte", "0", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (*c.bad)
            mark_bad(4, c.bad);
        read_table();
        WriteJob j = job(c.size);
        uint32_t crc = crc32(0, payload.data(), payload.size());
        DevStats before = stats()["mtd4"];

        Output w = write(j);
        ASSERT_EQ(w.rc, 0) << w.err;
        Output v = verify(j, crc);
        EXPECT_EQ(v.rc, 0);
        EXPECT_EQ(v.out, check_lines(c.size, crc, crc));
        std::string skipped = *c.bad ? bad_report(uint32_t(atoi(c.bad)) * BLOCK) : "";
        EXPECT_EQ(w.err, skipped);
        EXPECT_EQ(v.err, skipped);
        char record[128];
        snprintf(record, sizeof record, "name:ker2\tver:0x%08x\tsize:%u\tdate:0x%08x ", VERSION, c.size, DATE);
        EXPECT_EQ(env("ker2"), record);
        EXPECT_STREQ(table.records[4].name, "ker2");
        EXPECT_EQ(table.records[4].size, c.size);
        EXPECT_EQ(table.records[4].ver, VERSION);
        EXPECT_EQ(table.records[4].date, DATE);

        // The design's minimum: each good block erased once, each data page programmed once
        // and read back once, nothing programmed twice or into a bad block.
        DevStats after = stats()["mtd4"];
        long pages = (c.size + PAGE - 1) / PAGE;
        EXPECT_EQ(after.erased - before.erased, *c.bad ? 7 : 8);
        EXPECT_EQ(after.programmed - before.programmed, pages);
        EXPECT_EQ(after.read - before.read, pages);
        EXPECT_EQ(after.reprogrammed, before.reprogrammed);
        EXPECT_EQ(after.bad_writes, before.bad_writes);
        TearDown();
    }
}

TEST_F(NandVerify, AlteredDataIsRefusedAndNotRecorded)
{
    read_table();
    WriteJob j = job(10 * PAGE);
    uint32_t crc = crc32(0, payload.data(), payload.size());
    ASSERT_EQ(write(j).rc, 0);
    std::string dev = flash(4);
    dev[7 * PAGE + 5] ^= 0x10;
    qvtest::write_file(dev_file(4), dev);
    std::string altered = payload;
    altered[7 * PAGE + 5] ^= 0x10;

    Output v = verify(j, crc);
    EXPECT_EQ(v.rc, 14);
    EXPECT_EQ(v.out, check_lines(j.size, crc32(0, altered.data(), altered.size()), crc));
    EXPECT_EQ(v.err, "Check flash data crc failed. \n");
    EXPECT_EQ(env("ker2"), FACTORY_KER2);
    EXPECT_EQ(table.records[4].ver, 0u);
}

TEST_F(NandVerify, NameDecidesWhichRecordIsStored)
{
    // A job whose name is no partition (a boot-loader job when the environment has no uboot
    // record): the data matched, but nothing can be recorded.
    for (const char* name : {"", "ker3", "KER2"}) {
        SCOPED_TRACE(name);
        read_table();
        WriteJob j = job(2 * PAGE, name);
        uint32_t crc = crc32(0, payload.data(), payload.size());
        ASSERT_EQ(write(j).rc, 0);
        std::string envtext = printenv();
        Output v = verify(j, crc);
        EXPECT_EQ(v.rc, 15);
        EXPECT_EQ(v.out, check_lines(j.size, crc, crc));
        EXPECT_EQ(v.err, "Not valid image, has write img,but no update env!\n");
        EXPECT_EQ(printenv(), envtext);
    }
}

TEST_F(NandVerify, PartitionWithoutRecordIsRecordedUnderItsOwnName)
{
    ASSERT_EQ(env_store_set("ker2", ""), 0);
    read_table();
    ASSERT_STREQ(table.records[4].name, "");
    WriteJob j = job(4 * PAGE);
    uint32_t crc = crc32(0, payload.data(), payload.size());
    ASSERT_EQ(write(j).rc, 0);
    ASSERT_EQ(verify(j, crc).rc, 0);
    EXPECT_EQ(env("ker2"), hex("name:ker2\tver:0x%08x\tsize:8192\t", VERSION) + hex("date:0x%08x ", DATE));
    EXPECT_EQ(env(""), "<none>");
    std::string all = printenv();
    EXPECT_EQ(all.find("\n="), std::string::npos) << all;
    EXPECT_NE(all.rfind("=", 0), 0u) << all;
}

TEST_F(NandVerify, DataRunningPastThePartitionEnd)
{
    read_table();
    WriteJob j = job(8 * BLOCK);  // the whole partition
    mark_bad(4, "2");
    Output v = verify(j, 0);
    EXPECT_EQ(v.rc, 13);
    EXPECT_EQ(v.out, "");
    EXPECT_EQ(v.err, bad_report(2 * BLOCK) + "Data was only partially read due to error\n");

    // With the last block bad the next query addresses the partition end, which the device refuses.
    mark_bad(4, "7");
    v = verify(j, 0);
    EXPECT_EQ(v.rc, 8);
    EXPECT_EQ(v.err, bad_report(7 * BLOCK) + "ioctl get bad block: Invalid argument\n");
    EXPECT_EQ(env("ker2"), FACTORY_KER2);
}

TEST_F(NandVerify, EveryFailingCallEndsWithItsCode)
{
    struct Fault {
        const char* faults;
        int rc;
        const char* err_end;
    };
    const Fault table_[] = {
        {"fail open /dev/mtd4 1 EBUSY", 2, "open flash: Device or resource busy\n"},
        {"fail MEMGETINFO /dev/mtd4 1 EIO", 3, "MEMGETINFO: Input/output error\n"},
        {"fail MEMGETBADBLOCK /dev/mtd4 1 EIO", 8, "ioctl get bad block: Input/output error\n"},
        {"fail pread /dev/mtd4 2 EIO", 12, "pread mtd: Input/output error\n"},
        {"fail MEMERASE /dev/mtd1 1+ EIO\nfail MEMERASE /dev/mtd2 1+ EIO", 17, "set firmware info  faild!\n"},
    };
    read_table();
    WriteJob j = job(3 * PAGE);
    uint32_t crc = crc32(0, payload.data(), payload.size());
    ASSERT_EQ(write(j).rc, 0);
    for (const Fault& f : table_) {
        SCOPED_TRACE(f.faults);
        set_faults(std::string(f.faults) + "\n");
        Output v = verify(j, crc);
        EXPECT_EQ(v.rc, f.rc);
        std::string end = f.err_end;
        ASSERT_GE(v.err.size(), end.size()) << v.err;
        EXPECT_EQ(v.err.substr(v.err.size() - end.size()), end);
        if (f.rc != 17) {
            EXPECT_EQ(v.err, end);
        } else {
            EXPECT_EQ(v.out, check_lines(j.size, crc, crc));
        }
    }
}
