// The UpgradeImage: a 2048-byte ImageHeader describing up to six components, then their data.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

static_assert(std::endian::native == std::endian::little, "images are little-endian on flash and in files");

constexpr uint32_t IMAGE_HEADER_SIZE = 2048;
constexpr int COMPONENT_COUNT = 6;

struct ComponentEntry {
    uint32_t offset;  // 0 when the entry carries no data
    uint32_t size;    // padded length; 0 when the entry carries no data
    uint32_t version; // a.b.c.d, a in the top byte
    uint32_t addr;
    uint32_t flag;
    uint32_t date;    // year << 16 | month << 8 | day
    char name[52];
    uint32_t crc32;
};
static_assert(sizeof(ComponentEntry) == 80);

struct ImageHeader {
    ComponentEntry entries[COMPONENT_COUNT];
    uint32_t ai_mask_lo;
    uint32_t ai_mask_hi;
    uint8_t reserved[1560];
};
static_assert(sizeof(ImageHeader) == IMAGE_HEADER_SIZE);

inline bool entry_is_named(const ComponentEntry& e) { return e.name[0] != '\0'; }
inline bool entry_is_present(const ComponentEntry& e) { return e.offset != 0 && e.size != 0; }
// The entry's name, never read past its field: an image may carry a name without terminator.
inline std::string_view entry_name(const ComponentEntry& e) { return {e.name, strnlen(e.name, sizeof e.name)}; }
inline int entry_name_length(const ComponentEntry& e) { return static_cast<int>(entry_name(e).size()); }

// The fixed meaning of header entry i.
struct ComponentSlot {
    std::string_view name;
    uint32_t padding_unit;
    const char* install_path;  // nullptr: the slot goes straight from the image to flash
};

enum SlotIndex : int { SLOT_CMD = 0, SLOT_BLD = 1, SLOT_KER = 2, SLOT_FS = 3, SLOT_TOOL = 4, SLOT_BLD2 = 5 };

constexpr std::array<ComponentSlot, COMPONENT_COUNT> component_slots{{
    {"cmd", 2048, "/dev/shm/update"},
    {"bld", 131072, nullptr},
    {"ker", 2048, nullptr},
    {"fs", 2048, nullptr},
    {"tool", 2048, "/mnt/nand/fyi2/FYI_config.bin"},
    {"bld2", 131072, nullptr},
}};

// AiCapabilityMask bits: bit n allows the device AI type ai_type_codes[n].
constexpr std::array<std::string_view, 6> ai_type_codes{"10", "1C", "1B", "1A", "2A", "2B"};

constexpr uint32_t IMAGE_DATA_PIECE = 1024;  // components are streamed in pieces of this size

// Image reading. Each returns 0 on success and -1 on failure, after its messages.
int image_get_header_info(const char* path, ImageHeader* header);
int image_list_info(const char* path);
int check_img_crc(const char* path);
// Copies size bytes from offset of the open image into out_path, which ends up exactly as long as
// what was copied; an image that ends early gives a shorter file and 0. A symbolic link at
// out_path is not followed (the open fails). Leaves the image positioned after the last byte read.
int image_extract_data(int image_fd, const char* out_path, uint32_t offset, uint32_t size);
int image_analysis(const char* path);
