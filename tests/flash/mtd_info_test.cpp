// Finding each partition's MTD device in /proc/mtd.
#include "tests/flash/flash_fixture.h"
#include "update/flash/flash.h"

#include <algorithm>
#include <cstring>

using namespace flashtest;

using MtdInfo = SimCamera;

TEST_F(MtdInfo, MapsEveryListedNameToItsDevice)
{
    // A heading that names no partition, fs2 missing, oem listed twice (the first one wins), and
    // "lorawanns" on a device whose name is as long as `dev` allows.
    qvtest::write_file(dir / "proc/mtd",
                       "dev:    size   erasesize  name\n"
                       "mtd0: 00100000 00020000 \"uboot\"\n"
                       "mtd1: 00080000 00020000 \"env1\"\n"
                       "mtd2: 00080000 00020000 \"env2\"\n"
                       "mtd3: 00800000 00020000 \"ker1\"\n"
                       "mtd4: 00800000 00020000 \"ker2\"\n"
                       "mtd5: 02800000 00020000 \"fs1\"\n"
                       "mtd7: 00400000 00020000 \"cfg\"\n"
                       "mtd8: 00400000 00020000 \"oem\"\n"
                       "mtd12: 00400000 00020000 \"oem\"\n"
                       "mtd9: 00400000 00020000 \"rsd\"\n"
                       "abcdefghijklmnopqrstuvwxyz0123: 00100000 00020000 \"lorawanns\"\n");
    MtdDeviceMap map;
    memset(&map, 0x5A, sizeof map);  // whatever was there before is cleared
    Output o = capture([&] { return get_mtd_info(&map); });
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    const char* devs[PARTITION_COUNT] = {"/dev/mtd0", "/dev/mtd1", "/dev/mtd2", "/dev/mtd3",
                                         "/dev/mtd4", "/dev/mtd5", "/dev/",     "/dev/mtd7",
                                         "/dev/mtd8", "/dev/mtd9", "/dev/abcdefghijklmnopqrstuvwxyz"};
    for (int i = 0; i < PARTITION_COUNT; ++i) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(map.entries[i].dev, devs[i]);
        EXPECT_EQ(map.entries[i].name, partition_names[i]);
        // Nothing of the old contents survives behind the texts.
        const MtdDevice& e = map.entries[i];
        for (size_t k = strlen(e.dev); k < sizeof e.dev; ++k)
            EXPECT_EQ(e.dev[k], 0);
        for (size_t k = strlen(e.name); k < sizeof e.name; ++k)
            EXPECT_EQ(e.name[k], 0);
    }
    // One lookup command per partition, through the shell.
    std::string log = qvtest::read_file(dir / "sim/shell.log");
    EXPECT_EQ(log.substr(0, log.find('\n')), "cat /proc/mtd | grep uboot\t0");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), PARTITION_COUNT);
}

TEST_F(MtdInfo, MatchesTheFactoryCameraLayout)
{
    factory_camera();
    MtdDeviceMap map;
    ASSERT_EQ(capture([&] { return get_mtd_info(&map); }).rc, 0);
    for (int i = 0; i < PARTITION_COUNT; ++i)
        EXPECT_EQ(std::string(map.entries[i].dev), "/dev/mtd" + std::to_string(i));
}
