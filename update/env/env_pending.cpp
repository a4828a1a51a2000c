// Placeholder until the boot environment is built: every call says so and fails safely.
#include "update/env/env.h"

#include <cstdio>
#include <cstring>

namespace {
int pending(const char* what)
{
    fprintf(stderr, "%s: boot environment not built yet\n", what);
    return -1;
}
}  // namespace

int env_store_open() { return pending("env_store_open"); }
int env_store_save() { return pending("env_store_save"); }
int env_store_release() { return 0; }
const char* env_store_get(const char*) { return nullptr; }
int env_store_set(const char*, const char*) { return pending("env_store_set"); }
int hs_printenv() { return pending("hs_printenv"); }
int flprog_get_part_table(PartitionTable* table)
{
    memset(table, 0, sizeof *table);
    return pending("flprog_get_part_table");
}
int set_firmware_info(const PartitionRecord*) { return pending("set_firmware_info"); }
int set_boot_args(const PartitionTable*) { return pending("set_boot_args"); }
int show_info() { return pending("show_info"); }
void show_part_table() { pending("show_part_table"); }
void show_version() { pending("show_version"); }
int switch_system(uint32_t) { return pending("switch_system"); }
int switch_system_args(uint32_t) { return pending("switch_system_args"); }
