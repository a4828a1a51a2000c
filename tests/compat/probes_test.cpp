// The device probes one by one: what they return, print and store.
#include "tests/compat/camera.h"

#include "update/compat/compat.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>

using namespace compat_test;

namespace {

// --- ProductCode retrieval ---

struct ChipinfoCase {
    const char* name;
    Device device;
    std::string code;                     // what chipinfo_get yields
    std::string out;                      // its standard output
    std::optional<std::string> env_after;  // "chipinfo" afterwards
};

void PrintTo(const ChipinfoCase& c, std::ostream* os) { *os << c.name; }

const std::string code_40 = base_code + "ABCDEFGH";

const std::vector<ChipinfoCase>& chipinfo_cases()
{
    static const std::vector<ChipinfoCase> table = {
        {"environment first, EEPROM untouched", {.chipinfo = base_code, .eeprom = std::nullopt}, base_code, "",
         base_code},
        {"short value stays short", {.chipinfo = base_code.substr(0, 20)}, base_code.substr(0, 20), "",
         base_code.substr(0, 20)},
        {"long value cut after 32", {.chipinfo = code_40}, base_code, "", code_40},
        {"EEPROM code is stored", {.chipinfo = std::nullopt, .eeprom = code_with(base_code, {{11, 'K'}})},
         code_with(base_code, {{11, 'K'}}), "", code_with(base_code, {{11, 'K'}})},
        {"EEPROM code ends at a NUL", {.chipinfo = std::nullopt, .eeprom = base_code.substr(0, 10) + std::string(22, '\0')},
         base_code.substr(0, 10), "", base_code.substr(0, 10)},
        {"no bus: default code, nothing stored", {.chipinfo = std::nullopt, .eeprom = std::nullopt}, default_code,
         "Unable to open i2c bus 3!!!\ndm2016 read addr 0x0 error. \n", std::nullopt},
        {"read failing at register 5: default code, nothing stored",
         {.chipinfo = std::nullopt, .eeprom = base_code.substr(0, 5)}, default_code, "dm2016 read addr 0x5 error. \n",
         std::nullopt},
    };
    return table;
}

class Chipinfo : public ::testing::TestWithParam<ChipinfoCase> {};

TEST_P(Chipinfo, Get)
{
    const ChipinfoCase& c = GetParam();
    Camera cam(c.device);
    std::array<char, 64> out{};
    int rc = -2;
    Output o = capture([&] { rc = chipinfo_get(out.data()); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::string(out.data()), c.code);
    EXPECT_TRUE(std::all_of(out.begin() + 32, out.end(), [](char ch) { return ch == 0; }));
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(cam.env("chipinfo"), c.env_after);
}

INSTANTIATE_TEST_SUITE_P(Sources, Chipinfo, ::testing::ValuesIn(chipinfo_cases()),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(ChipinfoStore, CodeThatCannotBeStoredIsAFailure)
{
    // The EEPROM answers, but the environment cannot take the code.
    Camera cam({.chipinfo = std::nullopt, .fs1 = std::nullopt, .env_unusable = true});
    std::array<char, 64> out{};
    int rc = 0;
    capture([&] { rc = chipinfo_get(out.data()); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(chipinfo_set(base_code.c_str()), -1);
}

TEST(ChipinfoStore, NullArguments)
{
    Camera cam;
    EXPECT_EQ(chipinfo_get(nullptr), -1);
    EXPECT_EQ(chipinfo_set(nullptr), -1);
    EXPECT_EQ(chipinfo_set("QV0123"), 0);
    EXPECT_EQ(cam.env("chipinfo"), "QV0123");
}

// --- AI type migration ---

struct MigrationCase {
    char pos19;
    const char* type;
    std::vector<std::string> libs;
    const char* new_type;
    bool stored;  // stored and printed
};

void PrintTo(const MigrationCase& c, std::ostream* os)
{
    *os << "position 19 '" << c.pos19 << "', type " << c.type << ", " << c.libs.size() << " libraries";
}

class Migration : public ::testing::TestWithParam<MigrationCase> {};

TEST_P(Migration, RewritesStoresAndPrints)
{
    const MigrationCase& c = GetParam();
    const std::string before = ai_code(c.pos19, c.type);
    // The environment holds another code, so a store is visible.
    Camera cam({.chipinfo = "old", .libs = c.libs});
    std::array<char, 64> code{};
    memcpy(code.data(), before.data(), before.size());
    int rc = -2;
    Output o = capture([&] { rc = chipinfo_update_ai_type(code.data()); });

    const std::string after = ai_code(c.pos19, c.new_type);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::string(code.data()), after);
    if (c.stored) {
        EXPECT_EQ(o.out, "====update=chipinfo=" + after + "======\n");
        EXPECT_EQ(cam.env("chipinfo"), after);
    } else {
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(cam.env("chipinfo"), "old");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Migration,
    ::testing::Values(MigrationCase{'4', "20", {}, "1C", true}, MigrationCase{'4', "30", {}, "1B", true},
                      MigrationCase{'D', "20", {}, "1C", true}, MigrationCase{'A', "20", {}, "20", true},
                      MigrationCase{'0', "30", {}, "30", true}, MigrationCase{'0', "00", {"libvinlpr.so"}, "00", true},
                      MigrationCase{'4', "00", {"libvinlpr.so"}, "1C", true},
                      MigrationCase{'4', "00", {"liblprsdk_ff_arm.so.2.0.2651"}, "1B", true},
                      MigrationCase{'4', "00", {"libfocus_reclp_lib.so"}, "10", true},
                      MigrationCase{'4', "00", {"libfocus_reclp_lib.so", "liblprsdk_ff_arm.so.2.0.2651"}, "1B", true},
                      MigrationCase{'4', "00", {"libvinlpr.so.1"}, "00", false},
                      MigrationCase{'4', "00", {}, "00", false}, MigrationCase{'4', "1A", {}, "1A", false},
                      MigrationCase{'5', "2B", {"libvinlpr.so"}, "2B", false}));

// --- EEPROM ---

TEST(Dm2016, ReadsRegistersFromTheStart)
{
    Camera cam({.eeprom = "0123456789"});
    int fd = dm2016_open();
    ASSERT_GE(fd, 0);
    std::array<uint8_t, 6> buf{};
    EXPECT_EQ(dm2016_read(fd, 3, 5, buf.data()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data())), "34567");
    EXPECT_EQ(dm2016_read(fd, 0, 1, nullptr), -1);
    EXPECT_EQ(dm2016_close(fd), 0);
}

TEST(Dm2016, FailedReadKeepsTheBytesBefore)
{
    Camera cam({.eeprom = "0123456789"});
    int fd = dm2016_open();
    std::array<uint8_t, 8> buf{};
    int rc = 0;
    Output o = capture([&] { rc = dm2016_read(fd, 8, 4, buf.data()); });
    dm2016_close(fd);
    EXPECT_LT(rc, 0);
    EXPECT_EQ(o.out, "dm2016 read addr 0xa error. \n");
    EXPECT_EQ(buf[0], '8');
    EXPECT_EQ(buf[1], '9');
}

TEST(Dm2016, Presence)
{
    struct {
        std::optional<std::string> bus;
        int present;
        const char* out;
    } cases[] = {
        {std::nullopt, 0, "Unable to open i2c bus 3!!!\n"},
        {"", 0, "dm2016 read addr 0x0 error. \n"},
        {"Q", 1, ""},
    };
    for (const auto& c : cases) {
        Camera cam({.eeprom = c.bus});
        int present = -1;
        Output o = capture([&] { present = dm2016_is_present(); });
        EXPECT_EQ(present, c.present) << c.out;
        EXPECT_EQ(o.out, c.out);
    }
}

// --- PHY through MDIO ---

TEST(Mdio, ReadPhyIdentifier)
{
    struct {
        const char* word;
        int value;
        const char* out;
    } cases[] = {
        {"0x001c", 28, ""},
        {"0x0022", 34, ""},
        {"0xffff", 65535, ""},
        {"0x0000", 0, ""},
        {"busy", 0, "\n ======== mdio not ready, use new phy 8211 ===== \n"},
        {"nodata", 0, ""},
        {"nomap", -1, "mmap phyaddr 0x10050000 failed !\n"},
    };
    for (const auto& c : cases) {
        Camera cam({.mdio = c.word});
        int value = -2;
        Output o = capture([&] { value = mdio_read(4, 2); });
        EXPECT_EQ(value, c.value) << c.word;
        EXPECT_EQ(o.out, c.out) << c.word;
        // The window is released after each read, so a second read finds it as the first did.
        int again = -2;
        capture([&] { again = mdio_read(4, 2); });
        EXPECT_EQ(again, c.value) << c.word;
    }
}

TEST(Mdio, NoPhysicalMemoryDevice)
{
    Camera cam({.mdio = "0x001c"});
    std::filesystem::remove(cam.path("dev/mem"));
    int value = 0;
    Output o = capture([&] { value = mdio_read(4, 2); });
    EXPECT_EQ(value, -1);
    EXPECT_EQ(o.out, "Faile to open /dev/mem .\n");
}

// --- Sensor and codec files ---

TEST(SensorType, FromFile)
{
    struct {
        std::optional<std::string> text;
        SensorType type;
    } cases[] = {
        {"imx327\n", SensorType::imx327},
        {"imx334\n", SensorType::imx334},
        {"imx385\n", SensorType::imx385},
        {"imx385_lvds\n", SensorType::imx385_lvds},
        {"imx415\n", SensorType::imx415},
        {"imx385", SensorType::imx385},    // last character dropped: "imx38"
        {"imx415x", SensorType::imx415},
        {"x", SensorType::imx327},         // nothing left: a beginning of every name
        {"imx385_lvds_x\n", SensorType::none},
        {"imx219\n", SensorType::none},
        {"", SensorType::none},
        {std::nullopt, SensorType::none},
        {std::string("imx334\n") + std::string(40, 'x'), SensorType::none},
    };
    for (const auto& c : cases) {
        Camera cam({.sensor = c.text});
        EXPECT_EQ(sensor_type_get(), c.type) << c.text.value_or("(missing)");
    }
}

TEST(CodecType, FromFile)
{
    struct {
        std::optional<std::string> text;
        int external;
    } cases[] = {
        {"codec_external_8822", 1},
        {"codec_external_8822\n", 0},
        {"codec_ext", 1},
        {"", 1},
        {std::nullopt, 0},
        {"codec_internal", 0},
        {"codec_external_88221", 0},
    };
    for (const auto& c : cases) {
        Camera cam({.codec = c.text});
        EXPECT_EQ(codec_is_external_8822(), c.external) << c.text.value_or("(missing)");
    }
}

}  // namespace
