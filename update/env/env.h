// The boot environment: the redundant EnvStore on flash, its variables, the PartitionRecords
// kept in it, the boot information display and the bank switch.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

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

int flprog_get_part_table(PartitionTable* table);
int set_firmware_info(const PartitionRecord* record);
int set_boot_args(const PartitionTable* table);

// Boot information display and bank switch.
int show_info();
void show_part_table();
void show_version();
int switch_system(uint32_t id);
int switch_system_args(uint32_t id);
