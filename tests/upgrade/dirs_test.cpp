// make_dirs and is_dir on the camera root.
#include "sim/sim.h"
#include "tests/support/run.h"
#include "update/upgrade/upgrade.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Dirs : public ::testing::Test {
protected:
    qvtest::TempDir dir;

    void SetUp() override
    {
        setenv("CAMSIM_ROOT", dir.path().c_str(), 1);
        sim_reset();
    }
    void TearDown() override
    {
        unsetenv("CAMSIM_ROOT");
        sim_reset();
    }
    mode_t mode(const std::string& rel)
    {
        struct stat st;
        return ::lstat((dir / rel).c_str(), &st) == 0 ? st.st_mode : 0;
    }
};

}  // namespace

TEST_F(Dirs, CreatesEveryMissingLevel)
{
    mode_t old_mask = umask(002);
    EXPECT_EQ(make_dirs("/mnt/nand/fyi2"), 0);
    umask(old_mask);
    for (const char* level : {"mnt", "mnt/nand", "mnt/nand/fyi2"}) {
        SCOPED_TRACE(level);
        EXPECT_TRUE(S_ISDIR(mode(level)));
        EXPECT_EQ(mode(level) & 07777, 0775u);
    }
    EXPECT_EQ(is_dir("/mnt/nand/fyi2"), 1);
    EXPECT_EQ(make_dirs("/mnt/nand/fyi2"), 0);  // all there already
    EXPECT_EQ(make_dirs("/mnt/other/"), 0);
    EXPECT_TRUE(S_ISDIR(mode("mnt/other")));
}

TEST_F(Dirs, LongPathsAreCutTo255Characters)
{
    std::string path = "/d/" + std::string(300, 'x');
    EXPECT_EQ(make_dirs(path.c_str()), 0);
    EXPECT_TRUE(S_ISDIR(mode("d/" + std::string(252, 'x'))));
    EXPECT_EQ(mode("d/" + std::string(253, 'x')), 0u);
}

TEST_F(Dirs, WhatIsNotADirectoryStopsIt)
{
    qvtest::write_file(dir / "mnt/file", "x");
    ASSERT_EQ(::mkdir((dir / "real").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);

    EXPECT_EQ(is_dir("/mnt"), 1);
    EXPECT_EQ(is_dir("/mnt/file"), 0);
    EXPECT_EQ(is_dir("/link"), 0);  // a link is not followed
    EXPECT_EQ(is_dir("/missing"), 0);
    EXPECT_EQ(is_dir(nullptr), 0);

    EXPECT_EQ(make_dirs("/mnt/file/sub"), -1);
    EXPECT_EQ(make_dirs("/link/sub"), -1);
    EXPECT_EQ(mode("real/sub"), 0u);
    EXPECT_EQ(make_dirs(nullptr), -1);
    EXPECT_EQ(make_dirs(""), -1);
}
