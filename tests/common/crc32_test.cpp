#include "common/crc32.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>
#if QV_HAVE_ZLIB
#include <zlib.h>
#endif

// zlib declares a crc32 of its own; this names ours.
static uint32_t ours(uint32_t crc, const void* data, size_t length) { return crc32(crc, data, length); }

TEST(Crc32, CheckValueAndEmptyInput)
{
    EXPECT_EQ(crc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32(0, "", 0), 0u);
    EXPECT_EQ(crc32(0x12345678u, "", 0), 0x12345678u);
}

TEST(Crc32, ChainsOverRandomSplitsAndAgreesWithZlib)
{
    std::mt19937 rng(20261211);
    for (int round = 0; round < 50; ++round) {
        std::vector<unsigned char> data(rng() % 5000);
        for (auto& b : data)
            b = static_cast<unsigned char>(rng());
        const uint32_t whole = ours(0, data.data(), data.size());
#if QV_HAVE_ZLIB  // the cross build has no zlib; the check value above still holds there
        EXPECT_EQ(whole, ::crc32(0L, data.data(), static_cast<uInt>(data.size())));
#endif

        uint32_t chained = 0;
        size_t pos = 0;
        while (pos < data.size()) {
            size_t piece = std::min<size_t>(rng() % 2049, data.size() - pos);
            chained = ours(chained, data.data() + pos, piece);
            pos += piece;
        }
        EXPECT_EQ(chained, whole);
    }
}
