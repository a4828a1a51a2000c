// Host side of the rig's environment scenarios: makes the erase units that the runner writes to
// the environment devices, and shows what a unit read back from a device holds.
//
//   rig_envtool make OUT FLAG VARS TAILSEED
//       OUT gets one 512 KiB erase unit: a 256 KiB environment copy (CRC, flag byte FLAG, the
//       variables of the file VARS, one NAME=VALUE a line, in that order) followed by 256 KiB of
//       test data made from TAILSEED, which no save may change.
//   rig_envtool show FILE
//       "crc ok" or "crc bad", "flag N", then every variable as NAME=VALUE in storage order
//       ("unterminated" when the list has no end inside the data area).
//   rig_envtool tail FILE TAILSEED
//       exit status 0 when the second half of the unit in FILE is still TAILSEED's test data.
//
// The layout is the boot loader's (it is what U-Boot reads), written out here on its own rather
// than through the product's code, so that a fault there cannot hide itself.
#include "common/crc32.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t copy_size = 0x40000;
constexpr size_t unit_size = 0x80000;
constexpr size_t data_offset = 5;

void tail_pattern(std::vector<uint8_t>& unit, unsigned seed)
{
    for (size_t i = copy_size; i < unit_size; ++i) {
        unit[i] = static_cast<uint8_t>((i * 13 + seed * 101 + (i >> 9)) ^ 0xA5);
    }
}

bool read_whole(const char* path, std::vector<uint8_t>& out)
{
    FILE* f = fopen(path, "rb");
    if (!f) {
        perror(path);
        return false;
    }
    out.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    fclose(f);
    return true;
}

int make(const char* out, unsigned flag, const char* vars, unsigned seed)
{
    std::vector<uint8_t> unit(unit_size, 0);
    std::vector<uint8_t> text;
    if (!read_whole(vars, text)) {
        return 1;
    }
    size_t at = data_offset;
    size_t line = 0;
    while (line < text.size()) {
        size_t end = line;
        while (end < text.size() && text[end] != '\n') {
            ++end;
        }
        if (end > line) {
            if (at + (end - line) + 2 > copy_size) {
                fprintf(stderr, "rig_envtool: variables do not fit\n");
                return 1;
            }
            memcpy(&unit[at], &text[line], end - line);
            at += end - line + 1;  // the entry's NUL is already there
        }
        line = end + 1;
    }
    // The list ends with an empty entry: the byte at `at` is 0 already.
    uint32_t crc = crc32(0, &unit[data_offset], copy_size - data_offset);
    for (int i = 0; i < 4; ++i) {
        unit[i] = static_cast<uint8_t>(crc >> (8 * i));
    }
    unit[4] = static_cast<uint8_t>(flag);
    tail_pattern(unit, seed);
    FILE* f = fopen(out, "wb");
    if (!f || fwrite(unit.data(), 1, unit.size(), f) != unit.size() || fclose(f) != 0) {
        perror(out);
        return 1;
    }
    return 0;
}

int show(const char* path)
{
    std::vector<uint8_t> unit;
    if (!read_whole(path, unit)) {
        return 1;
    }
    if (unit.size() < copy_size) {
        fprintf(stderr, "rig_envtool: %s is shorter than a copy\n", path);
        return 1;
    }
    uint32_t stored = unit[0] | unit[1] << 8 | unit[2] << 16 | static_cast<uint32_t>(unit[3]) << 24;
    uint32_t crc = crc32(0, &unit[data_offset], copy_size - data_offset);
    printf("crc %s\n", crc == stored ? "ok" : "bad");
    printf("flag %u\n", unit[4]);
    size_t at = data_offset;
    while (at < copy_size && unit[at] != 0) {
        size_t end = at;
        while (end < copy_size && unit[end] != 0) {
            ++end;
        }
        if (end == copy_size) {
            printf("unterminated\n");
            return 0;
        }
        fwrite(&unit[at], 1, end - at, stdout);
        putchar('\n');
        at = end + 1;
    }
    if (at >= copy_size) {
        printf("unterminated\n");
    }
    return 0;
}

int tail(const char* path, unsigned seed)
{
    std::vector<uint8_t> unit;
    if (!read_whole(path, unit)) {
        return 1;
    }
    if (unit.size() < unit_size) {
        fprintf(stderr, "rig_envtool: %s is shorter than an erase unit\n", path);
        return 1;
    }
    std::vector<uint8_t> want(unit_size, 0);
    tail_pattern(want, seed);
    return memcmp(&unit[copy_size], &want[copy_size], unit_size - copy_size) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "make" && argc == 6) {
        return make(argv[2], static_cast<unsigned>(strtoul(argv[3], nullptr, 0)), argv[4],
                    static_cast<unsigned>(strtoul(argv[5], nullptr, 0)));
    }
    if (cmd == "show" && argc == 3) {
        return show(argv[2]);
    }
    if (cmd == "tail" && argc == 4) {
        return tail(argv[2], static_cast<unsigned>(strtoul(argv[3], nullptr, 0)));
    }
    fprintf(stderr,
            "usage: rig_envtool make OUT FLAG VARS TAILSEED | show FILE | tail FILE TAILSEED\n");
    return 2;
}
