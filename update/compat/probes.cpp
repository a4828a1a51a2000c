// What the device says about itself: ProductCode, EEPROM, PHY, sensor and codec.
#include "update/compat/compat.h"

#include "common/unique_fd.h"
#include "platform/platform.h"
#include "update/env/env.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <string_view>
#include <unistd.h>

namespace {

constexpr char default_product_code[] = "QVZ27R0807TA501G0100P77770000000";
static_assert(sizeof default_product_code == PRODUCT_CODE_LENGTH + 1);

constexpr const char* chipinfo_key = "chipinfo";

// Copies at most PRODUCT_CODE_LENGTH characters; the caller's buffer is zero-filled already.
void copy_product_code(char* out, const char* code)
{
    memcpy(out, code, strnlen(code, PRODUCT_CODE_LENGTH));
}

// The SoC vendor's i2c-dev requests: register address width and data width (0: 8 bits).
constexpr unsigned long I2C_VENDOR_REG_WIDTH = 0x0709;
constexpr unsigned long I2C_VENDOR_DATA_WIDTH = 0x070A;
constexpr unsigned long DM2016_SLAVE_ADDRESS = 0xA0;  // 8-bit form of 0x50

// AI type migration: old codes to the current scheme, first matching row wins.
struct AiMigration {
    std::string_view from;
    std::string_view to;
    const char* library;  // must exist for the row to apply; nullptr: no condition
};
constexpr std::array<AiMigration, 5> ai_migrations{{
    {"20", "1C", nullptr},
    {"30", "1B", nullptr},
    {"00", "1C", "/opt/app/libs/libvinlpr.so"},
    {"00", "1B", "/opt/app/libs/liblprsdk_ff_arm.so.2.0.2651"},
    {"00", "10", "/opt/app/libs/libfocus_reclp_lib.so"},
}};
constexpr int AI_TYPE_POS = 26;
constexpr int AI_MIGRATION_SELECT_POS = 19;

// MDIO register window of the SoC.
constexpr off_t MDIO_PHYS_BASE = 0x10050000;
constexpr size_t MDIO_WINDOW_SIZE = 1024;
constexpr size_t MDIO_CMD = 0x3C0;
constexpr size_t MDIO_DATA = 0x3C4;
constexpr size_t MDIO_READ_STATUS = 0x3D0;
constexpr uint32_t MDIO_CMD_START = 1u << 20;
constexpr uint32_t MDIO_CMD_READ = 1u << 17;
constexpr uint32_t MDIO_STATUS_NO_DATA = 1u << 0;

int mem_fd = -1;
void* mdio_window = nullptr;

// Reads at most 32 bytes of a short text file into a zero-filled, terminated buffer.
// false when the file cannot be opened.
bool read_short_text(const char* path, std::array<char, 33>& text)
{
    text.fill('\0');
    UniqueFd fd(pf_open(path, O_RDONLY));
    if (fd.get() < 0)
        return false;
    if (pf_read(fd.get(), text.data(), text.size() - 1) < 0)
        text.fill('\0');
    return true;
}

}  // namespace

int chipinfo_set(const char* code)
{
    if (!code)
        return -1;
    if (env_store_set(chipinfo_key, code) != 0)
        return -1;
    const char* stored = env_store_get(chipinfo_key);
    if (!stored || strcmp(stored, code) != 0)
        return -1;
    return 0;
}

int chipinfo_get(char* out)
{
    if (!out)
        return -1;
    if (const char* value = env_store_get(chipinfo_key)) {
        copy_product_code(out, value);
        return 0;
    }

    std::array<uint8_t, PRODUCT_CODE_LENGTH + 1> eeprom{};
    int fd = dm2016_open();
    // A failed open still goes through the read, which reports register 0 as unreadable.
    int rc = dm2016_read(fd, 0, PRODUCT_CODE_LENGTH, eeprom.data());
    if (fd >= 0)
        dm2016_close(fd);
    if (rc < 0) {
        copy_product_code(out, default_product_code);
        return 0;
    }

    const char* code = reinterpret_cast<const char*>(eeprom.data());
    // A code that cannot be kept must stop the gate: going on with an empty code would pass
    // every rule and store the empty code for all later runs.
    if (chipinfo_set(code) != 0)
        return -1;
    copy_product_code(out, code);
    return 0;
}

int chipinfo_update_ai_type(char* code)
{
    int x = code[AI_MIGRATION_SELECT_POS] - '0';
    if (x & 4) {
        std::string_view type(code + AI_TYPE_POS, 2);
        const AiMigration* hit = nullptr;
        for (const AiMigration& m : ai_migrations) {
            if (m.from != type)
                continue;
            if (!m.library || pf_access(m.library, F_OK) == 0) {
                hit = &m;
                break;
            }
        }
        if (!hit)
            return 0;
        memcpy(code + AI_TYPE_POS, hit->to.data(), hit->to.size());
    }
    chipinfo_set(code);
    printf("====update=chipinfo=%s======\n", code);
    return 0;
}

int dm2016_open()
{
    int fd = pf_open("/dev/i2c-3", O_RDWR);
    if (fd < 0) {
        printf("Unable to open i2c bus 3!!!\n");
        return fd;
    }
    pf_ioctl_arg(fd, I2C_SLAVE, DM2016_SLAVE_ADDRESS);
    return fd;
}

int dm2016_close(int fd) { return pf_close(fd); }

int dm2016_read(int fd, unsigned start, unsigned count, uint8_t* dest)
{
    if (!dest)
        return -1;
    pf_ioctl_arg(fd, I2C_VENDOR_REG_WIDTH, 0);
    pf_ioctl_arg(fd, I2C_VENDOR_DATA_WIDTH, 0);
    for (unsigned r = start; r < start + count; ++r) {
        // The driver sends the register number found in the buffer and puts the content there.
        uint8_t* byte = dest + (r - start);
        *byte = static_cast<uint8_t>(r & 0xFF);
        ssize_t n = pf_read(fd, byte, 1);
        if (n < 0) {
            printf("dm2016 read addr 0x%x error. \n", r);
            return static_cast<int>(n);
        }
    }
    return 0;
}

int dm2016_is_present()
{
    int fd = dm2016_open();
    if (fd < 0)
        return 0;
    uint8_t byte = 0;
    int rc = dm2016_read(fd, 0, 1, &byte);
    dm2016_close(fd);
    return rc < 0 ? 0 : 1;
}

int mdio_map()
{
    mem_fd = pf_open("/dev/mem", O_RDWR | O_SYNC);
    if (mem_fd < 0) {
        printf("Faile to open /dev/mem .\n");
        mem_fd = -1;
        return -1;
    }
    mdio_window = pf_mmio_map(mem_fd, MDIO_WINDOW_SIZE, MDIO_PHYS_BASE);
    if (!mdio_window) {
        printf("mmap phyaddr %#x failed !\n", static_cast<unsigned>(MDIO_PHYS_BASE));
        pf_close(mem_fd);
        mem_fd = -1;
        return -1;
    }
    return 0;
}

void mdio_unmap()
{
    if (mdio_window)
        pf_mmio_unmap(mdio_window, MDIO_WINDOW_SIZE);
    if (mem_fd >= 0)
        pf_close(mem_fd);
    mdio_window = nullptr;
    mem_fd = -1;
}

int mdio_wait_idle()
{
    int count = 1000;
    for (;;) {
        if (--count == 0)
            return 0;
        if (!(pf_mmio_read32(mdio_window, MDIO_CMD) & MDIO_CMD_START))
            return count;
        pf_usleep(100);
    }
}

int mdio_read(uint8_t phy, uint8_t reg)
{
    if (mdio_map() != 0)
        return -1;
    struct Release {
        ~Release() { mdio_unmap(); }
    } release;

    if (mdio_wait_idle() == 0) {
        printf("\n ======== mdio not ready, use new phy 8211 ===== \n");
        return 0;
    }
    pf_mmio_write32(mdio_window, MDIO_CMD, 0);
    pf_mmio_write32(mdio_window, MDIO_CMD,
                    static_cast<uint32_t>(phy) << 8 | reg | MDIO_CMD_START | MDIO_CMD_READ);

    bool idle = false;
    for (int i = 0; i < 100 && !idle; ++i) {
        idle = mdio_wait_idle() != 0;
        if (!idle)
            pf_usleep(5000);
    }
    if (!idle)
        return 0;
    if (pf_mmio_read32(mdio_window, MDIO_READ_STATUS) & MDIO_STATUS_NO_DATA)
        return 0;
    return static_cast<int>(pf_mmio_read32(mdio_window, MDIO_DATA) >> 16);
}

SensorType sensor_type_get()
{
    struct Known {
        std::string_view name;
        SensorType type;
    };
    static constexpr std::array<Known, 5> known{{
        {"imx327", SensorType::imx327},
        {"imx334", SensorType::imx334},
        {"imx385", SensorType::imx385},
        {"imx385_lvds", SensorType::imx385_lvds},
        {"imx415", SensorType::imx415},
    }};

    std::array<char, 33> text;
    read_short_text("/tmp/sensor_type", text);
    std::string_view t(text.data());
    if (t.empty())
        return SensorType::none;
    t.remove_suffix(1);  // normally the newline
    for (const Known& k : known)
        if (k.name.starts_with(t))
            return k.type;
    return SensorType::none;
}

int codec_is_external_8822()
{
    std::array<char, 33> text;
    if (!read_short_text("/tmp/codec_type", text))
        return 0;
    return std::string_view("codec_external_8822").starts_with(text.data()) ? 1 : 0;
}
