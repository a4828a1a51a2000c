#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32 of IEEE 802.3 as zlib computes it. Sums chain: crc32(crc32(0, a), b) is the sum of a
// followed by b; a new sum starts from 0.
uint32_t crc32(uint32_t crc, const void* data, size_t length);
