#include "libqvstd/qvstd.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

struct StripCase {
    const char* in;
    char c;
    const char* out;
};

TEST(QvStringStrip, LineEndsThenRunsOfTheCharacter)
{
    const StripCase cases[] = {
        {"watchdog=no\n", ' ', "watchdog=no"},
        {"watchdog=no\r\n", ' ', "watchdog=no"},
        {"  watchdog=no  \n", ' ', "watchdog=no"},
        {"watchdog = no", ' ', "watchdog = no"},  // inner blanks stay
        {"\twatchdog\t", ' ', "\twatchdog\t"},     // only the given character
        {"xxabcxx", 'x', "abc"},
        {"   \n", ' ', ""},
        {"", ' ', ""},
        {"\n\r\n", ' ', ""},
        {"a b\n ", ' ', "a b\n"},  // blanks after the newline go, the newline was not last
    };
    for (const auto& c : cases) {
        std::string buf = c.in;
        buf.push_back('\0');
        char* r = qv_string_strip(buf.data(), c.c);
        EXPECT_EQ(r, buf.data());
        EXPECT_STREQ(buf.c_str(), c.out) << "input: " << c.in;
    }
}

class LocalTimeUtc : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tz = getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_)
            old_tz_ = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (had_tz_)
            setenv("TZ", old_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_tz_ = false;
    std::string old_tz_;
};

TEST_F(LocalTimeUtc, TimeToStringFormatsLocalTime)
{
    char buf[32] = {};
    EXPECT_EQ(time_to_string(0, buf, sizeof buf), 19);
    EXPECT_STREQ(buf, "1970-01-01 00:00:00");
    EXPECT_EQ(time_to_string(90061, buf, sizeof buf), 19);
    EXPECT_STREQ(buf, "1970-01-02 01:01:01");
    EXPECT_EQ(time_to_string(1767225599, buf, sizeof buf), 19);
    EXPECT_STREQ(buf, "2025-12-31 23:59:59");

    setenv("TZ", "CET-1", 1);
    tzset();
    EXPECT_EQ(time_to_string(0, buf, sizeof buf), 19);
    EXPECT_STREQ(buf, "1970-01-01 01:00:00");
}

TEST_F(LocalTimeUtc, TimeToStringLeavesAnEmptyTextWhenTooSmall)
{
    char buf[19];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(time_to_string(0, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
}

}  // namespace
