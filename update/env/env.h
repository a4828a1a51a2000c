// The boot environment: the redundant EnvStore on flash, its variables, the PartitionRecords
// kept in it, the boot information display and the bank switch.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// One copy on flash: CRC-32 (4 bytes, little-endian), flag byte, data area. It lies at the start
// of an erase unit twice its size; the unit's second half belongs to no copy.
constexpr uint32_t env_copy_size = 0x40000;
constexpr uint32_t env_sector_size = 0x80000;
constexpr uint32_t env_data_size = env_copy_size - 5;

// Opens the store (both copies read and checked, the copy in use kept). 0, or -1.
int env_store_open();
// Writes the kept copy to both copies on flash, the other copy first. 0, or negative.
int env_store_save();
int env_store_release();

// The value of a variable, or nullptr. Valid until the next env_store_set.
const char* env_store_get(const char* name);
// Defines a variable and writes the environment to flash. 0, or -1.
int env_store_set(const char* name, const char* value);
int hs_printenv();
// Where the value begins when `entry` (name=value) defines `name`, else nullptr.
const char* env_entry_match(const char* name, const char* entry);

constexpr int PARTITION_COUNT = 11;
constexpr std::array<std::string_view, PARTITION_COUNT> partition_names{
    "uboot", "env1", "env2", "ker1", "ker2", "fs1", "fs2", "cfg", "oem", "rsd", "lorawanns"};

struct PartitionRecord {
    char name[32];
    uint32_t size;
    uint32_t ver;
    uint32_t date;
};

struct PartitionTable {
    PartitionRecord records[PARTITION_COUNT];
    char bootargs[512];
    char bootcmd[512];
};

// The text a PartitionRecord is stored as; at most 127 characters. Returns its length.
int partition_record_format(const PartitionRecord* record, char* out, size_t out_size);
// Reads a record text field by field into a cleared record; fields after the first piece that
// does not match stay 0.
void partition_record_parse(const char* text, PartitionRecord* record);

// 0, or -1 when the environment cannot be read or a boot text does not fit its copy (the
// copies are then left empty, so nothing shortened can be stored back).
int flprog_get_part_table(PartitionTable* table);
int set_firmware_info(const PartitionRecord* record);
int set_boot_args(const PartitionTable* table);

// Boot information display and bank switch.
int show_info();
void show_part_table();
void show_version();
int switch_system(uint32_t id);
int switch_system_args(uint32_t id);
