// The gate: the image's version and AI mask against what the device says, rule by rule.
#include "update/compat/compat.h"

#include "platform/platform.h"
#include "update/env/env.h"
#include "update/image/image.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>

namespace {

constexpr int GATE_OPEN_OR_AI = -1;
constexpr int GATE_PLATFORM = -14;
constexpr int GATE_DEVICE = -15;
constexpr int GATE_NO_PRODUCT_CODE = -16;

// The image's firmware version a.b.c.d.
struct Version {
    unsigned a, b, c, d;
};

Version split_version(uint32_t v)
{
    return {v >> 24 & 0xFF, v >> 16 & 0xFF, v >> 8 & 0xFF, v & 0xFF};
}

enum class VersionTest {
    d_below,     // component-wise: b < 7 or d < n
    d_at_most,   // d <= n, nothing else consulted
    older_than,  // older than XX.7.0.(n+1)
    exactly,     // XX.7.y.n
};

struct Limit {
    VersionTest test;
    unsigned n;
};

constexpr bool refuses(Limit limit, Version v)
{
    switch (limit.test) {
    case VersionTest::d_below:
        return v.b < 7 || v.d < limit.n;
    case VersionTest::d_at_most:
        return v.d <= limit.n;
    case VersionTest::older_than:
        return v.b < 7 || (v.b == 7 && v.d <= limit.n);
    case VersionTest::exactly:
        return v.b == 7 && v.d == limit.n;
    }
    return false;
}

struct SensorRule {
    SensorType sensor;
    Limit limit;
    const char* message;
};
constexpr std::array<SensorRule, 5> sensor_rules{{
    {SensorType::imx327, {VersionTest::d_below, 65}, "imx327 Sensor version must >= 65"},
    {SensorType::imx334, {VersionTest::d_below, 66}, "imx334 Sensor version must >= 66 \n"},
    {SensorType::imx385, {VersionTest::d_below, 72}, "imx385 Sensor version must >= 72"},
    {SensorType::imx385_lvds, {VersionTest::d_below, 71}, "imx385_lvds Sensor version must >= 71"},
    {SensorType::imx415, {VersionTest::d_below, 72}, "imx415 Sensor version must >= 72"},
}};

struct PartRule {
    Limit limit;
    const char* message;
};
constexpr PartRule phy_8211_rule{{VersionTest::d_at_most, 57}, "PHY_8211  version must >= 58"};
constexpr PartRule codec_8822_rule{{VersionTest::d_at_most, 57}, "external codec 8822  version must >= 58"};
constexpr PartRule no_eeprom_rule{{VersionTest::older_than, 62}, "Can't find dm2016, version must >= XX.7.0.63."};

// One ProductCode test: the character at pos is one of chars.
struct CodeTest {
    int pos;
    std::string_view chars;
};

struct BoardRule {
    std::array<CodeTest, 4> when;  // all must hold; unused entries have empty chars
    Limit limit;
    const char* message;
};
constexpr std::array<BoardRule, 10> board_rules{{
    {{{{11, "K"}}}, {VersionTest::older_than, 65}, "PTZ_LPR can not support version < XX.7.0.66"},
    {{{{11, "O"}}}, {VersionTest::older_than, 67}, "K41 mainboard can not support version < XX.7.0.68"},
    {{{{11, "Q"}}}, {VersionTest::older_than, 70}, "spd2.0 can not support version < XX.7.0.71"},
    {{{{11, "S"}}}, {VersionTest::older_than, 72}, "K45 mainboard can not support version < XX.7.0.73"},
    {{{{16, "de"}}}, {VersionTest::older_than, 72}, "new lens(2.7~13.5mm) can not support version < XX.7.0.73"},
    {{{{6, "0"}, {7, "9"}, {13, "0"}}}, {VersionTest::older_than, 72},
     "new drv ptzdomecan not support version < XX.7.0.73"},
    {{{{3, "3"}, {4, "3"}, {6, "0"}, {7, "1"}}}, {VersionTest::older_than, 69},
     "QV-T3301 can not support version < XX.7.0.70"},
    {{{{3, "3"}, {4, "3"}, {6, "0"}, {7, "2"}}}, {VersionTest::older_than, 69},
     "QV-T3302 can not support version < XX.7.0.70"},
    {{{{6, "0"}, {7, "8"}, {13, "2"}}}, {VersionTest::older_than, 71},
     "NewFixBoxV2 can not support version < XX.7.0.72"},
    {{{{16, "5WSYZ"}}}, {VersionTest::exactly, 75}, "AF lens(12X/23X/30X/36X/42X) can not use version 75"},
}};

bool matches(const BoardRule& rule, const char* product_code)
{
    for (const CodeTest& t : rule.when)
        if (!t.chars.empty() && t.chars.find(product_code[t.pos]) == std::string_view::npos)
            return false;
    return true;
}

// The platform number of the firmware recorded for a root filesystem partition; 0 when the
// record is missing or unreadable.
unsigned installed_platform(const char* partition)
{
    char name[33] = {};
    unsigned size = 0, ver = 0, date = 0;
    if (const char* record = env_store_get(partition))
        sscanf(record, "name:%32s\tver:0x%08x\tsize:%u\tdate:0x%08x ", name, &ver, &size, &date);
    return ver >> 24;
}

uint64_t ai_mask(const ImageHeader* header)
{
    return static_cast<uint64_t>(header->ai_mask_hi) << 32 | header->ai_mask_lo;
}

int refuse(char* message, const char* text, int code)
{
    snprintf(message, GATE_MESSAGE_SIZE, "%s\n", text);
    perror(message);
    return code;
}

}  // namespace

int upfw_check_ai(const ImageHeader* header, char* product_code)
{
    uint64_t mask = ai_mask(header);
    printf("====ai_upfw_val=%lld======\n", static_cast<long long>(mask));
    chipinfo_update_ai_type(product_code);

    std::string_view type(product_code + 26, 2);
    for (size_t bit = 0; bit < ai_type_codes.size(); ++bit)
        if (ai_type_codes[bit] == type)
            return (mask >> bit & 1) ? 0 : -1;
    return 0;
}

int upfw_check_compat(const char* image_path, char* message)
{
    ImageHeader header{};
    {
        int fd = pf_open(image_path, O_RDONLY);
        if (fd < 0)
            return refuse(message, "open output imager!", GATE_OPEN_OR_AI);
        ssize_t n = pf_read(fd, &header, sizeof header);
        if (n != static_cast<ssize_t>(sizeof header)) {
            pf_close(fd);
            return refuse(message, "read output imager", GATE_OPEN_OR_AI);
        }
        pf_close(fd);
    }

    const Version v = split_version(header.entries[SLOT_FS].version);
    printf("\n$$$$$$ ai_val=%lld \n\n", static_cast<long long>(ai_mask(&header)));
    printf("version = %d.%d.%d.%d\n", static_cast<int>(v.a), static_cast<int>(v.b),
           static_cast<int>(v.c), static_cast<int>(v.d));

    char product_code[64] = {};
    if (chipinfo_get(product_code) != 0)
        return refuse(message, "Can't read chipinfo.", GATE_NO_PRODUCT_CODE);
    printf("\n$$$$$$ product=%s \n\n", product_code);

    if (upfw_check_ai(&header, product_code) != 0)
        return refuse(message, "Firmware Update AI Failed!", GATE_OPEN_OR_AI);

    if (installed_platform("fs1") != v.a && installed_platform("fs2") != v.a)
        return refuse(message, "CPU not match firmware, update exit.", GATE_PLATFORM);

    const SensorType sensor = sensor_type_get();
    for (const SensorRule& rule : sensor_rules)
        if (rule.sensor == sensor && refuses(rule.limit, v))
            return refuse(message, rule.message, GATE_DEVICE);

    // A read that yields nothing counts as the newer PHY; an unmappable window as the older.
    const int phy_id = mdio_read(4, 2);
    const bool phy_8211 = phy_id == 0 || phy_id == 0x001C;
    if (phy_id == 0)
        printf("============ get phy id = 0, use new phy 8211. \n");
    else if (phy_id == 0x001C)
        printf("=========== new phy 8211 ======= \n");
    else
        printf("========= old phy 8035 ======== \n");
    if (phy_8211 && refuses(phy_8211_rule.limit, v))
        return refuse(message, phy_8211_rule.message, GATE_DEVICE);

    if (codec_is_external_8822() == 1 && refuses(codec_8822_rule.limit, v))
        return refuse(message, codec_8822_rule.message, GATE_DEVICE);

    if (dm2016_is_present() == 0 && refuses(no_eeprom_rule.limit, v))
        return refuse(message, no_eeprom_rule.message, GATE_DEVICE);

    for (const BoardRule& rule : board_rules)
        if (matches(rule, product_code) && refuses(rule.limit, v))
            return refuse(message, rule.message, GATE_DEVICE);

    return 0;
}
