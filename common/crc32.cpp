#include "common/crc32.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> make_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}

constexpr auto table = make_table();
static_assert(table[1] == 0x77073096u);

}  // namespace

uint32_t crc32(uint32_t crc, const void* data, size_t length)
{
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    while (length--)
        crc = table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
