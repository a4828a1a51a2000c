// Variables in the copy in use, and the PartitionRecords and boot texts kept in them.
#include "tests/env/env_fixture.h"

using namespace envtest;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class Vars : public EnvCamera {
protected:
    // Lays out both copies with the same data, copy 0 in use, and opens the store.
    void open_with(const std::string& data)
    {
        env_store_release();
        write_copy(0, 3, data);
        write_copy(1, 2, data);
        sim_reset();
        ASSERT_EQ(env_store_open(), 0);
    }
    // Both copies on flash hold the entries, with good CRCs.
    void expect_on_flash(const Entries& e)
    {
        for (int c = 0; c < 2; ++c) {
            SCOPED_TRACE(c);
            Copy copy = read_copy(c);
            EXPECT_TRUE(copy.crc_ok);
            EXPECT_EQ(copy.entries, e);
        }
    }
    int saves_so_far() const { return (read_copy(0).flag - 3 + 256) % 256 / 2; }
};

}  // namespace

TEST(EntryMatch, NameMatchesTheTextBeforeTheFirstEquals)
{
    struct Case {
        const char* name;
        const char* entry;
        const char* value;  // nullptr: no match
    } cases[] = {
        {"bootargs", "bootargs=console=ttyAMA0", "console=ttyAMA0"},
        {"bootarg", "bootargs=x", nullptr},
        {"bootargs", "bootargs_x=1", nullptr},
        {"bootargs", "bootarg=1", nullptr},
        {"sn", "sn=", ""},
        {"sn", "sn", nullptr},  // an entry without "=" defines nothing
        {"a", "a==b", "=b"},
        {"A", "a=1", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " in " + c.entry);
        const char* v = env_entry_match(c.name, c.entry);
        if (!c.value)
            EXPECT_EQ(v, nullptr);
        else
            EXPECT_STREQ(v, c.value);
    }
}

TEST_F(Vars, RedefinedVariableMovesToTheEndOnBothCopies)
{
    open_with(data_area({"bootcmd=bootm", "bootdelay=5", "baudrate=115200"}));
    ASSERT_EQ(env_store_set("bootdelay", "0"), 0);
    const Entries e{"bootcmd=bootm", "baudrate=115200", "bootdelay=0"};
    EXPECT_EQ(in_use(), e);
    expect_on_flash(e);
    EXPECT_STREQ(env_store_get("bootdelay"), "0");
}

TEST_F(Vars, EmptyValueStaysDefined)
{
    open_with(data_area({"a=1"}));
    ASSERT_EQ(env_store_set("sn", ""), 0);
    ASSERT_NE(env_store_get("sn"), nullptr);
    EXPECT_STREQ(env_store_get("sn"), "");
    EXPECT_EQ(env_store_get("s"), nullptr);
    expect_on_flash({"a=1", "sn="});
}

TEST_F(Vars, RedefiningTheOnlyVariableStartsAtTheFirstByte)
{
    open_with(data_area({"only=old value"}));
    ASSERT_EQ(env_store_set("only", "new"), 0);
    EXPECT_EQ(std::string(env_store_data(), 6), std::string("only=n"));
    expect_on_flash({"only=new"});
}

TEST_F(Vars, EmptyEnvironmentTakesAFirstVariable)
{
    open_with(std::string(2, '\0'));
    EXPECT_EQ(env_store_get("a"), nullptr);
    ASSERT_EQ(env_store_set("a", "1"), 0);
    expect_on_flash({"a=1"});
}

TEST_F(Vars, DefinitionThatDoesNotFitRemovesTheOldOneInMemoryOnly)
{
    // One big variable; once sn is gone, 24 bytes are left behind the list.
    const size_t room = 24;
    const std::string big(env_data_size - 5 - room, 'x');
    open_with(data_area({"big=" + big, "sn=old"}));
    const Entries before = read_copy(0).entries;

    CaptureStderr();
    EXPECT_EQ(env_store_set("sn", std::string(20, 'n').c_str()), -1);  // 2 + 20 + 3 > 24
    EXPECT_EQ(GetCapturedStderr(), "Error: environment overflow, \"sn\" deleted\n");
    EXPECT_EQ(env_store_get("sn"), nullptr);
    EXPECT_EQ(read_copy(0).entries, before);
    EXPECT_EQ(read_copy(1).entries, before);

    // The next definition writes the environment without sn; it fills the area exactly.
    ASSERT_EQ(env_store_set("ab", std::string(19, 'v').c_str()), 0);
    expect_on_flash({"big=" + big, "ab=" + std::string(19, 'v')});
    CaptureStderr();
    EXPECT_EQ(env_store_set("c", ""), -1);
    EXPECT_EQ(GetCapturedStderr(), "Error: environment overflow, \"c\" deleted\n");
}

TEST_F(Vars, UnterminatedEnvironmentIsNeitherReadPastNorChanged)
{
    // Two entries, then text to the very end of the area.
    std::string data = data_area({"a=1", "b=2"});
    data.pop_back();
    data.resize(env_data_size, 'z');
    open_with(data);
    const std::string before0 = read_dev(0), before1 = read_dev(1);

    CaptureStderr();
    EXPECT_STREQ(env_store_get("a"), "1");  // found before the walk reaches the bad part
    EXPECT_EQ(env_store_get("zz"), nullptr);
    EXPECT_EQ(env_store_set("a", "9"), -1);
    EXPECT_EQ(GetCapturedStderr(), "## Error: environment not terminated\n"
                                   "## Error: environment not terminated\n");
    EXPECT_STREQ(env_store_get("a"), "1");

    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(hs_printenv(), -1);
    EXPECT_EQ(GetCapturedStderr(), "## Error: environment not terminated\n");
    EXPECT_EQ(GetCapturedStdout(), "a=1\nb=2\n");
    EXPECT_EQ(read_dev(0), before0);
    EXPECT_EQ(read_dev(1), before1);

    // The last entry's NUL in the last byte leaves no room for the terminator.
    std::string full = "k=" + std::string(env_data_size - 3, 'v');
    full.push_back('\0');
    open_with(full);
    CaptureStderr();
    EXPECT_EQ(env_store_get("x"), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "## Error: environment not terminated\n");
}

TEST_F(Vars, PrintenvListsEveryEntryInStorageOrder)
{
    open_with(data_area({"z=1", "a=", "m=x=y"}));
    CaptureStdout();
    EXPECT_EQ(hs_printenv(), 0);
    EXPECT_EQ(GetCapturedStdout(), "z=1\na=\nm=x=y\n");
}

TEST_F(Vars, NamesThatCannotBeLookedUpAreRefused)
{
    open_with(data_area({"a=1"}));
    const std::string before = read_dev(0);
    for (const char* name : {"", "a=b"}) {
        SCOPED_TRACE(name);
        CaptureStderr();
        EXPECT_EQ(env_store_set(name, "v"), -1);
        EXPECT_EQ(GetCapturedStderr(), std::string("Error: bad variable name \"") + name + "\"\n");
    }
    EXPECT_EQ(in_use(), (Entries{"a=1"}));
    EXPECT_EQ(read_dev(0), before);
}

TEST(PartitionRecordText, FormatsAsStored)
{
    PartitionRecord r{};
    snprintf(r.name, sizeof r.name, "ker1");
    r.ver = 0x01070049;
    r.size = 4194304;
    r.date = 0x07e5030f;
    char text[128];
    EXPECT_EQ(partition_record_format(&r, text, sizeof text), 54);
    EXPECT_STREQ(text, "name:ker1\tver:0x01070049\tsize:4194304\tdate:0x07e5030f ");

    PartitionRecord widest{};
    memset(widest.name, 'n', 31);
    widest.ver = widest.size = widest.date = 0xFFFFFFFF;
    EXPECT_LE(partition_record_format(&widest, text, sizeof text), 127);
}

TEST(PartitionRecordText, ReadsFieldByFieldUntilAPieceDoesNotMatch)
{
    struct Case {
        const char* text;
        const char* name;
        uint32_t ver, size, date;
    } cases[] = {
        {"name:ker1\tver:0x01070049\tsize:4194304\tdate:0x07e5030f ", "ker1", 0x01070049, 4194304,
         0x07e5030f},
        {"name:fs1", "fs1", 0, 0, 0},
        {"name:fs2\tver:0x0000000a\tsize:12\tdate:0x1", "fs2", 10, 12, 1},
        {"name:  fs1 ver:0xABCDEF01size:7\n date:0x2", "fs1", 0xabcdef01, 7, 2},
        {"name:fs1\tver:0x123456789\tsize:1\tdate:0x1", "fs1", 0x12345678, 0, 0},
        {"name:fs1\tver:0x1\tsize:-5\tdate:0x1", "fs1", 1, 0, 0},
        {"name:fs1\tver:0x1\tsize:4294967296\tdate:0x1", "fs1", 1, 0, 0},
        {"name:fs1\tver:1\tsize:1", "fs1", 0, 0, 0},
        {"nam:fs1\tver:0x1", "", 0, 0, 0},
        {"name:", "", 0, 0, 0},
        // 32 characters do not fit the name: refused, not cut into another name
        {"name:abcdefghijklmnopqrstuvwxyz012345\tver:0x1", "", 0, 0, 0},
        {"name:abcdefghijklmnopqrstuvwxyz01234\tver:0x1", "abcdefghijklmnopqrstuvwxyz01234", 1, 0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        PartitionRecord r;
        memset(&r, 0x55, sizeof r);
        partition_record_parse(c.text, &r);
        EXPECT_STREQ(r.name, c.name);
        EXPECT_EQ(r.ver, c.ver);
        EXPECT_EQ(r.size, c.size);
        EXPECT_EQ(r.date, c.date);
    }
}

TEST_F(Vars, PartTableReadsRecordsByVariableAndTheBootTexts)
{
    open_with(data_area({
        "bootargs=ubi.mtd=fs1",
        "bootcmd=nand read ker1",
        "ker1=name:ker1\tver:0x01070049\tsize:4194304\tdate:0x07e5030f ",
        "fs1=name:fs2\tver:0x2\tsize:3\tdate:0x4 ",  // the text's own name counts
        "cfg=name:cfg",
        "lorawanns=garbage",
    }));
    PartitionTable t;
    memset(&t, 0x55, sizeof t);
    ASSERT_EQ(flprog_get_part_table(&t), 0);
    EXPECT_STREQ(t.bootargs, "ubi.mtd=fs1");
    EXPECT_STREQ(t.bootcmd, "nand read ker1");
    EXPECT_STREQ(t.records[3].name, "ker1");
    EXPECT_EQ(t.records[3].size, 4194304u);
    EXPECT_STREQ(t.records[5].name, "fs2");
    EXPECT_EQ(t.records[5].date, 4u);
    EXPECT_STREQ(t.records[7].name, "cfg");
    EXPECT_EQ(t.records[7].ver, 0u);
    const PartitionRecord zero{};
    for (int i : {0, 1, 2, 4, 6, 8, 9, 10}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(memcmp(&t.records[i], &zero, sizeof zero), 0);
    }
}

TEST_F(Vars, BootTextTooLongForTheTableIsRefusedNotCut)
{
    for (const std::string key : {"bootargs", "bootcmd"}) {
        SCOPED_TRACE(key);
        auto env = [&](const std::string& text) {
            return data_area({key == "bootargs" ? "bootargs=" + text : "bootargs=ubi.mtd=fs1",
                              key == "bootcmd" ? "bootcmd=" + text : "bootcmd=nand read ker1",
                              "fs1=name:fs1\tver:0x1\tsize:2\tdate:0x3 "});
        };
        const std::string fits(511, 'a'), too_long(512, 'a');
        open_with(env(fits));
        PartitionTable t;
        ASSERT_EQ(flprog_get_part_table(&t), 0);
        EXPECT_EQ(std::string(key == "bootargs" ? t.bootargs : t.bootcmd), fits);

        open_with(env(too_long));
        EXPECT_EQ(flprog_get_part_table(&t), -1);
        EXPECT_STREQ(t.bootargs, "");
        EXPECT_STREQ(t.bootcmd, "");
        EXPECT_EQ(t.records[5].size, 2u);  // the records are still there to be shown

        // Storing the table back stores nothing.
        const std::string before = read_dev(0);
        EXPECT_EQ(set_boot_args(&t), 0);
        EXPECT_EQ(read_dev(0), before);
    }
}

TEST_F(Vars, SetFirmwareInfoStoresTheRecordUnderItsName)
{
    open_with(data_area({"ker2=name:ker2\tver:0x00000001\tsize:1\tdate:0x00000001 ", "x=1"}));
    PartitionTable t;
    ASSERT_EQ(flprog_get_part_table(&t), 0);
    t.records[4].ver = 0x01080000;
    t.records[4].size = 8388608;
    t.records[4].date = 0x07e6010a;
    ASSERT_EQ(set_firmware_info(&t.records[4]), 0);
    expect_on_flash({"x=1", "ker2=name:ker2\tver:0x01080000\tsize:8388608\tdate:0x07e6010a "});
    PartitionTable again;
    ASSERT_EQ(flprog_get_part_table(&again), 0);
    EXPECT_EQ(memcmp(&again.records[4], &t.records[4], sizeof t.records[4]), 0);
}

TEST_F(Vars, SetBootArgsStoresOnlyTheNonEmptyCopiesBootargsFirst)
{
    struct Case {
        const char* args;
        const char* cmd;
        int saves;
        Entries after;
    } cases[] = {
        {"", "", 0, {"bootargs=A", "bootcmd=C", "z=1"}},
        {"", "C2", 1, {"bootargs=A", "z=1", "bootcmd=C2"}},
        {"A2", "", 1, {"bootcmd=C", "z=1", "bootargs=A2"}},
        {"A2", "C2", 2, {"z=1", "bootargs=A2", "bootcmd=C2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.args) + "/" + c.cmd);
        open_with(data_area({"bootargs=A", "bootcmd=C", "z=1"}));
        PartitionTable t{};
        snprintf(t.bootargs, sizeof t.bootargs, "%s", c.args);
        snprintf(t.bootcmd, sizeof t.bootcmd, "%s", c.cmd);
        EXPECT_EQ(set_boot_args(&t), 0);
        EXPECT_EQ(saves_so_far(), c.saves);
        EXPECT_EQ(read_copy(0).entries, c.after);
    }
}

TEST_F(Vars, SetBootArgsGivesTheResultOfTheLastDefinition)
{
    open_with(data_area({"bootargs=A", "bootcmd=C"}));
    PartitionTable t{};
    snprintf(t.bootargs, sizeof t.bootargs, "A2");
    snprintf(t.bootcmd, sizeof t.bootcmd, "C2");
    // Every save of bootcmd fails on both copies; the bootargs save before it succeeds.
    set_faults("fail MEMERASE /dev/mtd1 2+ EIO\nfail MEMERASE /dev/mtd2 2+ EIO\n");
    CaptureStderr();
    EXPECT_EQ(set_boot_args(&t), -1);
    EXPECT_EQ(GetCapturedStderr(), "MTD erase error on /dev/mtd2: Input/output error\n"
                                   "MTD erase error on /dev/mtd1: Input/output error\n"
                                   "Error: can't write fw_env to flash\n");
    set_faults("");
    EXPECT_EQ(read_copy(0).entries, (Entries{"bootcmd=C", "bootargs=A2"}));
}
