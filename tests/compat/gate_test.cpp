// The gate against a table of devices and images: code and message of the first failing rule.
#include "tests/compat/camera.h"

#include "update/compat/compat.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace compat_test;

namespace {

struct Case {
    const char* name;
    Device device;
    Image image;
    int code;
    const char* message;  // without the newline that the gate appends
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const std::string B = base_code;
std::string with(const std::vector<std::pair<int, char>>& changes) { return code_with(B, changes); }

// A device that every rule from the AI test to the first board rule refuses for an image of
// platform 2 (1.7.0.10 after the platform rule) with an empty mask; each order case below
// mends one more of them.
Device all_wrong()
{
    return {.chipinfo = code_with(ai_code('0', "10"), {{11, 'K'}}), .eeprom = std::nullopt,
            .sensor = "imx327\n", .codec = "codec_external_8822", .mdio = "0x001c",
            .fs1 = fs_record("fs1", V(1, 7, 0, 64))};
}
template <class F>
Device mended(F f)
{
    Device d = all_wrong();
    f(d);
    return d;
}
constexpr Image old_image{.version = V(1, 7, 0, 10)};

const std::vector<Case>& cases()
{
    static const std::vector<Case> table = {
        // Reading the image.
        {"compatible", {}, {}, 0, nullptr},
        {"image missing", {}, {.length = -1}, -1, "open output imager!"},
        {"header one byte short", {}, {.length = 2047}, -1, "read output imager"},
        {"header and data", {}, {.length = 8192}, 0, nullptr},

        // Obtaining the ProductCode.
        {"EEPROM code that cannot be stored stops the gate",
         {.chipinfo = std::nullopt, .fs1 = std::nullopt, .env_unusable = true}, {}, -16, "Can't read chipinfo."},
        {"EEPROM code is used", {.chipinfo = std::nullopt, .eeprom = with({{11, 'K'}})},
         {.version = V(1, 7, 0, 65)}, -15, "PTZ_LPR can not support version < XX.7.0.66"},
        {"environment wins over EEPROM", {.eeprom = with({{11, 'K'}})}, {.version = V(1, 7, 0, 65)}, 0, nullptr},
        {"default code meets no rule", {.chipinfo = std::nullopt, .eeprom = std::nullopt},
         {.version = V(1, 7, 0, 63)}, 0, nullptr},
        {"EEPROM read failing part-way gives the default code",
         {.chipinfo = std::nullopt, .eeprom = with({{11, 'K'}}).substr(0, 5)}, {.version = V(1, 7, 0, 65)}, 0,
         nullptr},

        // AI capability mask against the device's AI type.
        {"2B with bit 5", {.chipinfo = ai_code('0', "2B")}, {.mask = 0x20}, 0, nullptr},
        {"2B without bit 5", {.chipinfo = ai_code('0', "2B")}, {.mask = 0x1F}, -1, "Firmware Update AI Failed!"},
        {"10 with an empty mask", {.chipinfo = ai_code('0', "10")}, {.mask = 0}, -1, "Firmware Update AI Failed!"},
        {"10 with bit 0", {.chipinfo = ai_code('0', "10")}, {.mask = 0x01}, 0, nullptr},
        {"1C is bit 1", {.chipinfo = ai_code('0', "1C")}, {.mask = 0x02}, 0, nullptr},
        {"1C is not bit 3", {.chipinfo = ai_code('0', "1C")}, {.mask = 0x08}, -1, "Firmware Update AI Failed!"},
        {"1B is bit 2", {.chipinfo = ai_code('0', "1B")}, {.mask = 0x04}, 0, nullptr},
        {"1A is bit 3", {.chipinfo = ai_code('0', "1A")}, {.mask = 0x08}, 0, nullptr},
        {"2A is bit 4", {.chipinfo = ai_code('0', "2A")}, {.mask = 0x10}, 0, nullptr},
        {"2A is not bit 5", {.chipinfo = ai_code('0', "2A")}, {.mask = 0x20}, -1, "Firmware Update AI Failed!"},
        {"bits above 5 name no type", {.chipinfo = ai_code('0', "10")}, {.mask = ~0x3FULL}, -1,
         "Firmware Update AI Failed!"},
        {"a type outside the table passes any mask", {.chipinfo = ai_code('0', "3Z")}, {.mask = 0}, 0, nullptr},
        {"short code has no type", {.chipinfo = B.substr(0, 20)}, {.mask = 0}, 0, nullptr},

        // AI type migration, seen through the mask bit of the migrated type.
        {"'4': 20 becomes 1C", {.chipinfo = ai_code('4', "20")}, {.mask = 0x02}, 0, nullptr},
        {"'4': 20 is no longer 20", {.chipinfo = ai_code('4', "20")}, {.mask = 0x3D}, -1,
         "Firmware Update AI Failed!"},
        {"'D' selects the migration too", {.chipinfo = ai_code('D', "20")}, {.mask = 0x3D}, -1,
         "Firmware Update AI Failed!"},
        {"'A' does not", {.chipinfo = ai_code('A', "20")}, {.mask = 0}, 0, nullptr},
        {"'0' does not", {.chipinfo = ai_code('0', "30")}, {.mask = 0}, 0, nullptr},
        {"'4': 30 becomes 1B", {.chipinfo = ai_code('4', "30")}, {.mask = 0x3B}, -1, "Firmware Update AI Failed!"},
        {"'4': 30 passes with bit 2", {.chipinfo = ai_code('4', "30")}, {.mask = 0x04}, 0, nullptr},
        {"'4': 00 with libvinlpr becomes 1C", {.chipinfo = ai_code('4', "00"), .libs = {"libvinlpr.so"}},
         {.mask = 0x3D}, -1, "Firmware Update AI Failed!"},
        {"'4': 00 with the LPR SDK becomes 1B",
         {.chipinfo = ai_code('4', "00"), .libs = {"liblprsdk_ff_arm.so.2.0.2651"}}, {.mask = 0x3B}, -1,
         "Firmware Update AI Failed!"},
        {"'4': 00 with focus_reclp becomes 10", {.chipinfo = ai_code('4', "00"), .libs = {"libfocus_reclp_lib.so"}},
         {.mask = 0x3E}, -1, "Firmware Update AI Failed!"},
        {"'4': the first library row wins",
         {.chipinfo = ai_code('4', "00"), .libs = {"libfocus_reclp_lib.so", "libvinlpr.so"}}, {.mask = 0x02}, 0,
         nullptr},
        {"'4': 00 without libraries stays", {.chipinfo = ai_code('4', "00")}, {.mask = 0}, 0, nullptr},
        {"'4': 10 stays", {.chipinfo = ai_code('4', "10")}, {.mask = 0x01}, 0, nullptr},

        // Platform: fs1, else fs2, against a.
        {"fs1 differs, fs2 matches", {.fs1 = fs_record("fs1", V(2, 7, 0, 64)), .fs2 = fs_record("fs2", V(1, 7, 0, 64))},
         {}, 0, nullptr},
        {"fs1 and fs2 differ", {.fs1 = fs_record("fs1", V(2, 7, 0, 64)), .fs2 = fs_record("fs2", V(3, 7, 0, 64))},
         {}, -14, "CPU not match firmware, update exit."},
        {"only the top byte counts", {.fs1 = fs_record("fs1", V(1, 0, 0, 0))}, {.version = V(1, 9, 9, 99)}, 0, nullptr},
        {"no records pass platform 0", {.fs1 = std::nullopt}, {.version = V(0, 7, 0, 77)}, 0, nullptr},
        {"no records refuse platform 1", {.fs1 = std::nullopt}, {}, -14, "CPU not match firmware, update exit."},
        {"unparsable record counts as 0", {.fs1 = "name:fs1\tver:01070040"}, {}, -14,
         "CPU not match firmware, update exit."},

        // Sensor: component-wise limits.
        {"imx327 below 65", {.sensor = "imx327\n"}, {.version = V(1, 7, 0, 64)}, -15, "imx327 Sensor version must >= 65"},
        {"imx327 at 65", {.sensor = "imx327\n"}, {.version = V(1, 7, 0, 65)}, 0, nullptr},
        {"imx327: a newer b does not help", {.sensor = "imx327\n"}, {.version = V(1, 8, 0, 10)}, -15,
         "imx327 Sensor version must >= 65"},
        {"imx327: b below 7", {.sensor = "imx327\n"}, {.version = V(1, 6, 0, 99)}, -15, "imx327 Sensor version must >= 65"},
        {"imx334 below 66", {.sensor = "imx334\n"}, {.version = V(1, 7, 0, 65)}, -15,
         "imx334 Sensor version must >= 66 \n"},
        {"imx334 at 66", {.sensor = "imx334\n"}, {.version = V(1, 7, 0, 66)}, 0, nullptr},
        {"imx385 below 72", {.sensor = "imx385\n"}, {.version = V(1, 7, 0, 71)}, -15, "imx385 Sensor version must >= 72"},
        {"imx385 at 72", {.sensor = "imx385\n"}, {.version = V(1, 7, 0, 72)}, 0, nullptr},
        {"imx385_lvds below 71", {.sensor = "imx385_lvds\n"}, {.version = V(1, 7, 0, 70)}, -15,
         "imx385_lvds Sensor version must >= 71"},
        {"imx385_lvds at 71", {.sensor = "imx385_lvds\n"}, {.version = V(1, 7, 0, 71)}, 0, nullptr},
        {"imx415 below 72", {.sensor = "imx415\n"}, {.version = V(1, 7, 0, 71)}, -15, "imx415 Sensor version must >= 72"},
        {"imx415 at 72", {.sensor = "imx415\n"}, {.version = V(1, 7, 0, 72)}, 0, nullptr},
        {"imx385 without newline is imx385", {.sensor = "imx385"}, {.version = V(1, 7, 0, 71)}, -15,
         "imx385 Sensor version must >= 72"},
        {"unknown sensor", {.sensor = "imx999\n"}, {.version = V(1, 7, 0, 63)}, 0, nullptr},

        // PHY: 0 and 28 are the 8211 (d > 57 needed), anything else the 8035.
        {"PHY id 0", {.mdio = "0x0000"}, {.version = V(1, 7, 0, 57)}, -15, "PHY_8211  version must >= 58"},
        {"PHY id 28", {.mdio = "0x001c"}, {.version = V(1, 7, 0, 57)}, -15, "PHY_8211  version must >= 58"},
        {"PHY id 28 at 58", {.mdio = "0x001c"}, {.version = V(1, 7, 0, 58)}, 0, nullptr},
        {"PHY: only d counts", {.mdio = "0x001c"}, {.version = V(1, 8, 0, 57)}, -15, "PHY_8211  version must >= 58"},
        {"MDIO busy counts as the 8211", {.mdio = "busy"}, {.version = V(1, 7, 0, 57)}, -15,
         "PHY_8211  version must >= 58"},
        {"MDIO without data counts as the 8211", {.mdio = "nodata"}, {.version = V(1, 7, 0, 57)}, -15,
         "PHY_8211  version must >= 58"},
        {"other PHY id is the 8035", {.mdio = "0x0022"}, {.version = V(1, 7, 0, 57)}, 0, nullptr},
        {"unmappable window is the 8035", {.mdio = "nomap"}, {.version = V(1, 7, 0, 57)}, 0, nullptr},

        // Codec: the file's text must be a beginning of the name.
        {"external 8822", {.codec = "codec_external_8822"}, {.version = V(1, 7, 0, 57)}, -15,
         "external codec 8822  version must >= 58"},
        {"external 8822 at 58", {.codec = "codec_external_8822"}, {.version = V(1, 7, 0, 58)}, 0, nullptr},
        {"codec name with newline", {.codec = "codec_external_8822\n"}, {.version = V(1, 7, 0, 57)}, 0, nullptr},
        {"codec name cut short", {.codec = "codec_ext"}, {.version = V(1, 7, 0, 57)}, -15,
         "external codec 8822  version must >= 58"},
        {"empty codec file", {.codec = ""}, {.version = V(1, 7, 0, 57)}, -15, "external codec 8822  version must >= 58"},

        // EEPROM absent: older than XX.7.0.63 refused.
        {"no EEPROM at 62", {.eeprom = std::nullopt}, {.version = V(1, 7, 0, 62)}, -15,
         "Can't find dm2016, version must >= XX.7.0.63."},
        {"no EEPROM at 63", {.eeprom = std::nullopt}, {.version = V(1, 7, 0, 63)}, 0, nullptr},
        {"no EEPROM, b above 7", {.eeprom = std::nullopt}, {.version = V(1, 8, 0, 0)}, 0, nullptr},
        {"no EEPROM, b below 7", {.eeprom = std::nullopt}, {.version = V(1, 6, 0, 200)}, -15,
         "Can't find dm2016, version must >= XX.7.0.63."},
        {"EEPROM that does not answer", {.eeprom = ""}, {.version = V(1, 7, 0, 62)}, -15,
         "Can't find dm2016, version must >= XX.7.0.63."},
        {"EEPROM present at 62", {}, {.version = V(1, 7, 0, 62)}, 0, nullptr},

        // Board, model and lens rules: refused up to the limit, passed above it.
        {"PTZ_LPR at 65", {.chipinfo = with({{11, 'K'}})}, {.version = V(1, 7, 0, 65)}, -15,
         "PTZ_LPR can not support version < XX.7.0.66"},
        {"PTZ_LPR at 66", {.chipinfo = with({{11, 'K'}})}, {.version = V(1, 7, 0, 66)}, 0, nullptr},
        {"PTZ_LPR, b below 7", {.chipinfo = with({{11, 'K'}})}, {.version = V(1, 6, 0, 99)}, -15,
         "PTZ_LPR can not support version < XX.7.0.66"},
        {"K41 at 67", {.chipinfo = with({{11, 'O'}})}, {.version = V(1, 7, 0, 67)}, -15,
         "K41 mainboard can not support version < XX.7.0.68"},
        {"K41 at 68", {.chipinfo = with({{11, 'O'}})}, {.version = V(1, 7, 0, 68)}, 0, nullptr},
        {"K41, b above 7", {.chipinfo = with({{11, 'O'}})}, {.version = V(1, 8, 0, 0)}, 0, nullptr},
        {"spd2.0 at 70", {.chipinfo = with({{11, 'Q'}})}, {.version = V(1, 7, 0, 70)}, -15,
         "spd2.0 can not support version < XX.7.0.71"},
        {"spd2.0 at 71", {.chipinfo = with({{11, 'Q'}})}, {.version = V(1, 7, 0, 71)}, 0, nullptr},
        {"K45 at 72", {.chipinfo = with({{11, 'S'}})}, {.version = V(1, 7, 0, 72)}, -15,
         "K45 mainboard can not support version < XX.7.0.73"},
        {"K45 at 73", {.chipinfo = with({{11, 'S'}})}, {.version = V(1, 7, 0, 73)}, 0, nullptr},
        {"new lens d at 72", {.chipinfo = with({{16, 'd'}})}, {.version = V(1, 7, 0, 72)}, -15,
         "new lens(2.7~13.5mm) can not support version < XX.7.0.73"},
        {"new lens e at 72", {.chipinfo = with({{16, 'e'}})}, {.version = V(1, 7, 0, 72)}, -15,
         "new lens(2.7~13.5mm) can not support version < XX.7.0.73"},
        {"new lens at 73", {.chipinfo = with({{16, 'e'}})}, {.version = V(1, 7, 0, 73)}, 0, nullptr},
        {"new drv ptzdome at 72", {.chipinfo = with({{6, '0'}, {7, '9'}, {13, '0'}})}, {.version = V(1, 7, 0, 72)},
         -15, "new drv ptzdomecan not support version < XX.7.0.73"},
        {"new drv ptzdome at 73", {.chipinfo = with({{6, '0'}, {7, '9'}, {13, '0'}})}, {.version = V(1, 7, 0, 73)},
         0, nullptr},
        {"09 with position 13 not 0", {.chipinfo = with({{6, '0'}, {7, '9'}, {13, '1'}})},
         {.version = V(1, 7, 0, 10)}, 0, nullptr},
        {"QV-T3301 at 69", {.chipinfo = with({{3, '3'}, {4, '3'}, {6, '0'}, {7, '1'}})},
         {.version = V(1, 7, 0, 69)}, -15, "QV-T3301 can not support version < XX.7.0.70"},
        {"QV-T3301 at 70", {.chipinfo = with({{3, '3'}, {4, '3'}, {6, '0'}, {7, '1'}})},
         {.version = V(1, 7, 0, 70)}, 0, nullptr},
        {"T3201 is no QV-T3301", {.chipinfo = with({{3, '3'}, {4, '2'}, {6, '0'}, {7, '1'}})},
         {.version = V(1, 7, 0, 10)}, 0, nullptr},
        {"QV-T3302 at 69", {.chipinfo = with({{3, '3'}, {4, '3'}, {6, '0'}, {7, '2'}})},
         {.version = V(1, 7, 0, 69)}, -15, "QV-T3302 can not support version < XX.7.0.70"},
        {"QV-T3302 at 70", {.chipinfo = with({{3, '3'}, {4, '3'}, {6, '0'}, {7, '2'}})},
         {.version = V(1, 7, 0, 70)}, 0, nullptr},
        {"NewFixBoxV2 at 71", {.chipinfo = with({{6, '0'}, {7, '8'}, {13, '2'}})}, {.version = V(1, 7, 0, 71)}, -15,
         "NewFixBoxV2 can not support version < XX.7.0.72"},
        {"NewFixBoxV2 at 72", {.chipinfo = with({{6, '0'}, {7, '8'}, {13, '2'}})}, {.version = V(1, 7, 0, 72)}, 0,
         nullptr},
        {"AF lens 5 at 75", {.chipinfo = with({{16, '5'}})}, {.version = V(1, 7, 0, 75)}, -15,
         "AF lens(12X/23X/30X/36X/42X) can not use version 75"},
        {"AF lens S at 75", {.chipinfo = with({{16, 'S'}})}, {.version = V(1, 7, 0, 75)}, -15,
         "AF lens(12X/23X/30X/36X/42X) can not use version 75"},
        {"AF lens Y at 75", {.chipinfo = with({{16, 'Y'}})}, {.version = V(1, 7, 0, 75)}, -15,
         "AF lens(12X/23X/30X/36X/42X) can not use version 75"},
        {"AF lens Z at 75", {.chipinfo = with({{16, 'Z'}})}, {.version = V(1, 7, 0, 75)}, -15,
         "AF lens(12X/23X/30X/36X/42X) can not use version 75"},
        {"AF lens W at 7.3.75", {.chipinfo = with({{16, 'W'}})}, {.version = V(1, 7, 3, 75)}, -15,
         "AF lens(12X/23X/30X/36X/42X) can not use version 75"},
        {"AF lens W at 74", {.chipinfo = with({{16, 'W'}})}, {.version = V(1, 7, 0, 74)}, 0, nullptr},
        {"AF lens W at 76", {.chipinfo = with({{16, 'W'}})}, {.version = V(1, 7, 0, 76)}, 0, nullptr},
        {"AF lens W at 8.0.75", {.chipinfo = with({{16, 'W'}})}, {.version = V(1, 8, 0, 75)}, 0, nullptr},
        {"AF lens W at 6.0.75", {.chipinfo = with({{16, 'W'}})}, {.version = V(1, 6, 0, 75)}, 0, nullptr},

        // Order: the first failing rule wins.
        {"AI before platform", all_wrong(), {.version = V(2, 7, 0, 10)}, -1, "Firmware Update AI Failed!"},
        {"platform before sensor", mended([](Device& d) { d.chipinfo = with({{11, 'K'}}); }),
         {.version = V(2, 7, 0, 10)}, -14, "CPU not match firmware, update exit."},
        {"sensor before PHY", mended([](Device& d) { d.chipinfo = with({{11, 'K'}}); }), old_image, -15,
         "imx327 Sensor version must >= 65"},
        {"PHY before codec",
         mended([](Device& d) {
             d.chipinfo = with({{11, 'K'}});
             d.sensor.reset();
         }),
         old_image, -15, "PHY_8211  version must >= 58"},
        {"codec before EEPROM",
         mended([](Device& d) {
             d.chipinfo = with({{11, 'K'}});
             d.sensor.reset();
             d.mdio = "nomap";
         }),
         old_image, -15, "external codec 8822  version must >= 58"},
        {"EEPROM before boards",
         mended([](Device& d) {
             d.chipinfo = with({{11, 'K'}});
             d.sensor.reset();
             d.mdio = "nomap";
             d.codec.reset();
         }),
         old_image, -15, "Can't find dm2016, version must >= XX.7.0.63."},
        {"board rules in table order", {.chipinfo = with({{11, 'S'}, {16, 'd'}, {6, '0'}, {7, '9'}, {13, '0'}})},
         old_image, -15, "K45 mainboard can not support version < XX.7.0.73"},
        {"lens before model", {.chipinfo = with({{16, 'd'}, {6, '0'}, {7, '9'}, {13, '0'}})}, old_image, -15,
         "new lens(2.7~13.5mm) can not support version < XX.7.0.73"},
        {"a passed rule does not stop the gate", {.chipinfo = with({{11, 'K'}, {16, 'W'}})},
         {.version = V(1, 7, 0, 75)}, -15, "AF lens(12X/23X/30X/36X/42X) can not use version 75"},
    };
    return table;
}

class GateTable : public ::testing::TestWithParam<Case> {};

TEST_P(GateTable, CodeAndMessage)
{
    const Case& c = GetParam();
    Camera cam(c.device);
    const char* image = cam.write_image(c.image);

    char message[GATE_MESSAGE_SIZE];
    memset(message, 'Z', sizeof message);
    int code = 0;
    Output o = capture([&] { code = upfw_check_compat(image, message); });

    EXPECT_EQ(code, c.code);
    if (c.code == 0) {
        // A compatible image leaves the caller's buffer alone and complains about nothing.
        EXPECT_EQ(std::string(message, sizeof message), std::string(sizeof message, 'Z'));
        EXPECT_EQ(o.err, "");
    } else {
        std::string expected = std::string(c.message) + "\n";
        EXPECT_EQ(std::string(message), expected);
        // Standard error ends with perror of the buffer: the message, ": ", the description of
        // the current error.
        size_t at = o.err.rfind(expected + ": ");
        ASSERT_NE(at, std::string::npos) << o.err;
        EXPECT_EQ(o.err.find('\n', at + expected.size()), o.err.size() - 1) << o.err;
    }
}

std::string case_name(const ::testing::TestParamInfo<Case>& info)
{
    std::string n;
    for (const char* p = info.param.name; *p; ++p)
        n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return n + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Rules, GateTable, ::testing::ValuesIn(cases()), case_name);

}  // namespace

namespace {

// The whole output of a run that falls back to the built-in code and passes.
TEST(GateOutput, DefaultCodePasses)
{
    Camera cam({.chipinfo = std::nullopt, .eeprom = std::nullopt, .mdio = "nomap"});
    const char* image = cam.write_image({.version = V(1, 7, 0, 77), .mask = 0x20});
    char message[GATE_MESSAGE_SIZE] = "untouched";
    int code = -2;
    Output o = capture([&] { code = upfw_check_compat(image, message); });

    EXPECT_EQ(code, 0);
    EXPECT_STREQ(message, "untouched");
    EXPECT_EQ(o.out, "\n$$$$$$ ai_val=32 \n\nversion = 1.7.0.77\n"
                     "Unable to open i2c bus 3!!!\n"
                     "dm2016 read addr 0x0 error. \n"
                     "\n$$$$$$ product=" + default_code + " \n\n"
                     "====ai_upfw_val=32======\n"
                     "====update=chipinfo=" + default_code + "======\n"
                     "mmap phyaddr 0x10050000 failed !\n"
                     "========= old phy 8035 ======== \n"
                     "Unable to open i2c bus 3!!!\n");
    EXPECT_EQ(o.err, "");
    // The migration stored the default code; the next run takes it from the environment.
    EXPECT_EQ(cam.env("chipinfo"), default_code);
}

// The whole output of a refusal by the PHY rule, with a mask printed as a signed number.
TEST(GateOutput, BusyControllerRefuses)
{
    const std::string code_k = code_with(base_code, {{11, 'K'}});
    Camera cam({.chipinfo = code_k, .mdio = "busy"});
    const char* image = cam.write_image({.version = V(1, 7, 0, 57), .mask = ~0ULL});
    char message[GATE_MESSAGE_SIZE] = {};
    int code = 0;
    Output o = capture([&] { code = upfw_check_compat(image, message); });

    EXPECT_EQ(code, -15);
    EXPECT_STREQ(message, "PHY_8211  version must >= 58\n");
    EXPECT_EQ(o.out, "\n$$$$$$ ai_val=-1 \n\nversion = 1.7.0.57\n"
                     "\n$$$$$$ product=" + code_k + " \n\n"
                     "====ai_upfw_val=-1======\n"
                     "====update=chipinfo=" + code_k + "======\n"
                     "\n ======== mdio not ready, use new phy 8211 ===== \n"
                     "============ get phy id = 0, use new phy 8211. \n");
    EXPECT_TRUE(o.err.starts_with("PHY_8211  version must >= 58\n: ")) << o.err;
}

}  // namespace
