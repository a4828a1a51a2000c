// The redundant store: which copy is used, how a save writes both, and what failures leave.
#include "tests/env/env_fixture.h"

#include <cstdio>

using namespace envtest;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class Store : public EnvCamera {
public:
    void make_nor(bool mtd1, bool mtd2)
    {
        std::string conf = qvtest::read_file(dir / "flash.conf");
        std::string out;
        size_t pos = 0;
        while (pos < conf.size()) {
            size_t nl = conf.find('\n', pos);
            std::string line = conf.substr(pos, nl == std::string::npos ? nl : nl - pos + 1);
            pos = nl == std::string::npos ? conf.size() : nl + 1;
            if ((mtd1 && line.rfind("mtd1 ", 0) == 0) || (mtd2 && line.rfind("mtd2 ", 0) == 0)) {
                size_t at = line.find(" nand");
                EXPECT_NE(at, std::string::npos) << line;
                if (at != std::string::npos)
                    line.replace(at, 5, " nor");
            }
            out += line;
        }
        qvtest::write_file(dir / "flash.conf", out);
        sim_reset();
    }
};

struct PickCase {
    bool good0;
    uint8_t flag0;
    bool good1;
    uint8_t flag1;
    const char* expected;
};

}  // namespace

TEST_F(Store, PicksTheCopyByCrcThenByCounter)
{
    const PickCase cases[] = {
        {true, 0xFF, true, 0x00, "1"},  // the counter wrapped in copy 1
        {true, 0x00, true, 0xFF, "1"},
        {true, 5, true, 5, "0"},
        {true, 5, true, 7, "1"},
        {true, 7, true, 5, "0"},
        {false, 9, true, 1, "1"},
        {true, 1, false, 9, "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.good0 << "/" << int(c.flag0) << " " << c.good1 << "/"
                                        << int(c.flag1));
        write_copy(0, c.flag0, data_area({"copy=0"}), c.good0);
        write_copy(1, c.flag1, data_area({"copy=1"}), c.good1);
        env_store_release();
        sim_reset();
        CaptureStderr();
        ASSERT_EQ(env_store_open(), 0);
        EXPECT_EQ(GetCapturedStderr(), "");
        ASSERT_NE(env_store_get("copy"), nullptr);
        EXPECT_STREQ(env_store_get("copy"), c.expected);
    }
}

TEST_F(Store, PicksTheCopyByActiveFlagOnNor)
{
    make_nor(true, true);
    const PickCase cases[] = {
        {true, 1, true, 0, "0"},       {true, 0, true, 1, "1"},    {true, 1, true, 1, "0"},
        {true, 0xFF, true, 1, "0"},    {true, 1, true, 0xFF, "1"}, {true, 2, true, 3, "0"},
        {false, 1, true, 0, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.flag0) << " " << int(c.flag1));
        write_copy(0, c.flag0, data_area({"copy=0"}), c.good0);
        write_copy(1, c.flag1, data_area({"copy=1"}), c.good1);
        env_store_release();
        sim_reset();
        ASSERT_EQ(env_store_open(), 0);
        ASSERT_NE(env_store_get("copy"), nullptr);
        EXPECT_STREQ(env_store_get("copy"), c.expected);
    }
}

TEST_F(Store, NorSaveLeavesTheOtherCopyActive)
{
    make_nor(true, true);
    write_copy(0, 1, data_area({"a=1"}));
    write_copy(1, 0, data_area({"a=1"}));
    ASSERT_EQ(env_store_open(), 0);
    ASSERT_EQ(env_store_set("b", "2"), 0);
    const Copy c0 = read_copy(0), c1 = read_copy(1);
    EXPECT_TRUE(c0.crc_ok && c1.crc_ok);
    EXPECT_EQ(c0.flag, 0);
    EXPECT_EQ(c1.flag, 1);
    EXPECT_EQ(c0.entries, (Entries{"a=1", "b=2"}));
    EXPECT_EQ(c1.entries, c0.entries);
    EXPECT_TRUE(second_halves_intact());
    EXPECT_EQ(reopen(), (Entries{"a=1", "b=2"}));
}

TEST_F(Store, SaveWritesTheOtherCopyFirstAndKeepsTheCopyInUseNewer)
{
    write_copy(0, 5, data_area(camera_env()));
    write_copy(1, 7, data_area(camera_env()));
    ASSERT_EQ(env_store_open(), 0);
    ASSERT_EQ(env_store_set("sn", "Q123"), 0);
    const Copy c0 = read_copy(0), c1 = read_copy(1);
    EXPECT_TRUE(c0.crc_ok);
    EXPECT_TRUE(c1.crc_ok);
    EXPECT_EQ(c0.flag, 8);
    EXPECT_EQ(c1.flag, 9);
    Entries expected = camera_env();
    expected.push_back("sn=Q123");
    EXPECT_EQ(c0.entries, expected);
    EXPECT_EQ(c1.entries, expected);
    EXPECT_TRUE(second_halves_intact());

    // Another save in the same run goes on counting from the kept copy.
    ASSERT_EQ(env_store_set("sn", "Q124"), 0);
    EXPECT_EQ(read_copy(0).flag, 10);
    EXPECT_EQ(read_copy(1).flag, 11);
    EXPECT_TRUE(second_halves_intact());
    expected.back() = "sn=Q124";
    EXPECT_EQ(reopen(), expected);
}

TEST_F(Store, ErasedFlashGivesTheDefaultEnvironmentAndWritesNothingUntilAChange)
{
    std::string erased(env_copy_size, '\xFF');
    for (int c = 0; c < 2; ++c) {
        std::string dev = read_dev(c);
        dev.replace(0, env_copy_size, erased);
        qvtest::write_file(dev_path(c), dev);
    }
    sim_reset();
    const std::string before0 = read_dev(0), before1 = read_dev(1);
    CaptureStderr();
    ASSERT_EQ(env_store_open(), 0);
    EXPECT_EQ(GetCapturedStderr(), "Warning: Bad CRC, using default environment\n");
    const Entries defaults{
        "bootcmd=bootp; setenv bootargs root=/dev/nfs nfsroot=${serverip}:${rootpath} "
        "ip=${ipaddr}:${serverip}:${gatewayip}:${netmask}:${hostname}::off; bootm",
        "bootdelay=5", "baudrate=115200"};
    EXPECT_EQ(in_use(), defaults);
    EXPECT_EQ(read_dev(0), before0);
    EXPECT_EQ(read_dev(1), before1);

    ASSERT_EQ(env_store_set("bootdelay", "3"), 0);
    const Entries changed{defaults[0], defaults[2], "bootdelay=3"};
    const Copy c0 = read_copy(0), c1 = read_copy(1);
    EXPECT_TRUE(c0.crc_ok && c1.crc_ok);
    EXPECT_EQ(c1.flag, 0x00);  // the 0xFF read from copy 0, plus one
    EXPECT_EQ(c0.flag, 0x01);
    EXPECT_EQ(c0.entries, changed);
    EXPECT_EQ(c1.entries, changed);
    EXPECT_TRUE(second_halves_intact());
    EXPECT_EQ(reopen(), changed);
}

TEST_F(Store, OpenFailuresLeaveAStoreThatNeitherAnswersNorWrites)
{
    struct Case {
        const char* name;
        void (*prepare)(Store&);
        const char* message;
    };
    const Case cases[] = {
        {"missing device",
         [](Store& t) { std::remove((t.dir / "dev/mtd2").c_str()); },
         "Cannot access MTD device /dev/mtd2: No such file or directory\n"},
        {"copy 0 cannot be opened", [](Store& t) { t.set_faults("fail open /dev/mtd1 1 EACCES\n"); },
         "Can't open /dev/mtd1: Permission denied\n"},
        {"copy 1 unreadable", [](Store& t) { t.set_faults("fail read /dev/mtd2 1 EIO\n"); },
         "Read error on /dev/mtd2: Input/output error\n"},
        {"no MTD information", [](Store& t) { t.set_faults("fail MEMGETINFO /dev/mtd1 1 EIO\n"); },
         "Cannot get MTD information: Input/output error\n"},
        {"bad-block query fails",
         [](Store& t) { t.set_faults("fail MEMGETBADBLOCK /dev/mtd2 1 EIO\n"); },
         "Cannot read bad block mark: Input/output error\n"},
        {"first erase unit of copy 1 bad",
         [](Store& t) {
             std::string conf = qvtest::read_file(t.dir / "flash.conf");
             size_t line = conf.find("mtd2 ");
             size_t end = conf.find('\n', line);
             conf.insert(end, " bad=0");
             qvtest::write_file(t.dir / "flash.conf", conf);
             sim_reset();
         },
         "Too few good blocks within range\n"},
        {"NOR and NAND", [](Store& t) { t.make_nor(false, true); }, "Incompatible flash types!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.prepare(*this);
        auto contents = [&](int copy) {
            return qvtest::file_exists(dev_path(copy)) ? read_dev(copy) : std::string("<none>");
        };
        const std::string before0 = contents(0), before1 = contents(1);

        CaptureStderr();
        EXPECT_EQ(env_store_open(), -1);
        EXPECT_EQ(GetCapturedStderr(), c.message);
        set_faults("");

        EXPECT_EQ(env_store_get("bootargs"), nullptr);
        CaptureStderr();
        EXPECT_EQ(env_store_set("bootdelay", "0"), -1);
        EXPECT_EQ(env_store_save(), -1);
        EXPECT_EQ(hs_printenv(), -1);
        EXPECT_EQ(GetCapturedStderr(), "Error: environment not available\n"
                                       "Error: environment not available\n");
        PartitionTable table;
        EXPECT_EQ(flprog_get_part_table(&table), -1);
        EXPECT_STREQ(table.bootargs, "");
        EXPECT_EQ(table.records[3].size, 0u);
        EXPECT_EQ(contents(0), before0);
        EXPECT_EQ(contents(1), before1);
    }
}

TEST_F(Store, ReleasedStoreIsNotUsed)
{
    ASSERT_EQ(env_store_open(), 0);
    ASSERT_NE(env_store_get("bootcmd"), nullptr);
    EXPECT_EQ(env_store_release(), 0);
    const std::string before0 = read_dev(0), before1 = read_dev(1);
    EXPECT_EQ(env_store_get("bootcmd"), nullptr);
    CaptureStderr();
    EXPECT_EQ(env_store_set("bootdelay", "0"), -1);
    EXPECT_EQ(GetCapturedStderr(), "Error: environment not available\n");
    EXPECT_EQ(read_dev(0), before0);
    EXPECT_EQ(read_dev(1), before1);
}

// One failing call during a save, with copy 0 or copy 1 in use: the messages, the result, and
// what the next run finds. A single failure never costs both copies. A write that fails after
// its unit was erased cannot put back the unit's second half; every other case keeps it.
TEST_F(Store, AFailingCallDuringASaveLeavesAValidCopy)
{
    struct Case {
        int current;
        const char* fault;
        int result;
        const char* messages;
        bool next_is_new;
        bool tail_kept = true;
    };
    const char* cant_write = "Error: can't write fw_env to flash\n";
    const Case cases[] = {
        {0, "fail MEMERASE /dev/mtd2 1 EIO", 0, "MTD erase error on /dev/mtd2: Input/output error\n",
         true},
        {0, "fail write /dev/mtd2 1 EIO", 0, "Write error on /dev/mtd2: Input/output error\n", true, false},
        {0, "fail MEMGETBADBLOCK /dev/mtd2 1 EIO", 0,
         "Cannot read bad block mark: Input/output error\n", true},
        {0, "fail read /dev/mtd2 1 EIO", 0, "Read error on /dev/mtd2: Input/output error\n", true},
        {0, "fail lseek /dev/mtd2 2 EIO", 0, "Seek error on /dev/mtd2: Input/output error\n", true, false},
        {0, "fail MEMERASE /dev/mtd1 1 EIO", -1,
         "MTD erase error on /dev/mtd1: Input/output error\n", true},
        {0, "fail write /dev/mtd1 1 EIO", -1, "Write error on /dev/mtd1: Input/output error\n", true, false},
        {0, "fail read /dev/mtd1 1 EIO", -1, "Read error on /dev/mtd1: Input/output error\n", true},
        {0, "fail close /dev/mtd2 1 EIO", -1, "I/O error on /dev/mtd2: Input/output error\n", true},
        {0, "fail close /dev/mtd1 1 EIO", -1, "I/O error on /dev/mtd1: Input/output error\n", true},
        {0, "fail open /dev/mtd2 1 EACCES", -1, "Can't open /dev/mtd2: Permission denied\n", false},
        {0, "fail open /dev/mtd1 1 EACCES", -1, "Can't open /dev/mtd1: Permission denied\n", false},
        {1, "fail MEMERASE /dev/mtd1 1 EIO", 0, "MTD erase error on /dev/mtd1: Input/output error\n",
         true},
        {1, "fail write /dev/mtd2 1 EIO", -1, "Write error on /dev/mtd2: Input/output error\n", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        TearDown();
        SetUp();
        write_copy(c.current, 9, data_area(camera_env()));
        write_copy(1 - c.current, 8, data_area(camera_env()));
        sim_reset();
        ASSERT_EQ(env_store_open(), 0);
        set_faults(std::string(c.fault) + "\n");

        CaptureStderr();
        EXPECT_EQ(env_store_set("bootdelay", "4"), c.result);
        EXPECT_EQ(GetCapturedStderr(), std::string(c.messages) + (c.result ? cant_write : ""));

        set_faults("");
        Entries fresh = camera_env();
        fresh.erase(fresh.begin() + 2);
        fresh.push_back("bootdelay=4");
        CaptureStderr();
        EXPECT_EQ(reopen(), c.next_is_new ? fresh : camera_env());
        EXPECT_EQ(GetCapturedStderr(), "");  // never the default environment
        EXPECT_TRUE(read_copy(0).crc_ok || read_copy(1).crc_ok);
        if (c.tail_kept) {
            EXPECT_TRUE(second_halves_intact());
        }
    }
}
