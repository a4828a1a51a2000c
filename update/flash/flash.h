// Flash programming: finding the MTD device of each partition, writing a component into a
// NAND partition with bad-block skipping, and reading it back to check its CRC-32.
#pragma once

#include "update/env/env.h"

#include <cstdint>

struct MtdDevice {
    char dev[32];   // "/dev/" and the device name; just "/dev/" when the partition is not listed
    char name[32];  // the partition name
};

// Indexed like partition_names.
struct MtdDeviceMap {
    MtdDevice entries[PARTITION_COUNT];
};

// One planned partition write.
struct WriteJob {
    char dev[32];
    char name[32];
    uint32_t offset;  // of the component data in the image
    uint32_t size;    // bytes of component data
    uint32_t flag;
    uint32_t addr;
    uint32_t version;
    uint32_t date;
    int32_t pad;      // pad a short last page with 0xFF instead of refusing it
};

// Fills the map from /proc/mtd. 0, or -1 when the lookup command cannot be started.
int get_mtd_info(MtdDeviceMap* map);

// Erases the job's partition and writes the component into it page by page, skipping bad
// blocks. 0, or 1 to 11.
int nand_flash_write_file(const char* image_path, const WriteJob* job);

// Drops the kernel's caches and flushes the file systems. 0, or -1.
int clean_memory();

// Reads the partition back, compares its CRC-32 with expected_crc and stores the partition's
// new record (size, version, date) in the environment. 0, or 2, 3, 4, 8, 12 to 15, 17.
int nand_flash_verify_file(const WriteJob* job, uint32_t expected_crc, PartitionTable* table);
