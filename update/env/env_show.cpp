// What the boot environment records about the partitions, and the switch to the other bank.
#include "update/env/env.h"

#include "common/shell.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char default_boot_args[] =
    "mem=256M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw rootfstype=ubifs "
    "init=/linuxrc";
static_assert(sizeof default_boot_args - 1 == 94);

void print_header(const PartitionRecord& r, const PartitionTable& table)
{
    if (strstr(table.bootargs, r.name) || strstr(table.bootcmd, r.name))
        printf("%s:(current)\n", r.name);
    else if (strstr(table.bootargs, "nfs") && strstr(r.name, "fs"))
        printf("%s:(nfs)\n", r.name);
    else
        printf("%s:\n", r.name);
}

void print_version(uint32_t ver)
{
    printf("\tversion = %d.%d.%d.%d\n", int(ver >> 24), int(ver >> 16 & 0xFF), int(ver >> 8 & 0xFF),
           int(ver & 0xFF));
}

void print_date(uint32_t date)
{
    printf("\tdate    = %d/%d/%d\n", int(date >> 16), int(date >> 8 & 0xFF), int(date & 0xFF));
}

// The digit right after the first `marker` in text becomes the bank digit. False when the
// marker is missing, or when it ends a text that has no room left for the digit.
bool set_bank_digit(char* text, size_t capacity, const char* marker, char digit)
{
    char* at = strstr(text, marker);
    if (!at)
        return false;
    char* pos = at + strlen(marker);
    if (*pos == '\0') {
        if (size_t(pos - text) + 1 >= capacity)
            return false;
        pos[1] = '\0';
    }
    *pos = digit;
    return true;
}

}  // namespace

void show_part_table()
{
    printf("Quovera update version: %s \n", "1.0.1");
    PartitionTable table;
    if (flprog_get_part_table(&table) < 0)
        fprintf(stderr, "flprog_get_part_table faild!\n");
    for (const PartitionRecord& r : table.records) {
        if (r.size == 0)
            continue;
        print_header(r, table);
        print_version(r.ver);
        printf("\tsize    = 0x%08X (%d K)\n", unsigned(r.size), int(r.size >> 10));
        print_date(r.date);
    }
}

int show_info()
{
    show_part_table();
    printf("\nMore details:\n\n");
    printf("Mtd information: \n");
    shell_run("cat /proc/mtd ");
    int r = hs_printenv();
    if (r < 0) {
        fprintf(stderr, "hs_printenv faild!\n");
        return r;
    }
    return 0;
}

void show_version()
{
    printf("Quovera update version: %s\n", "0.1.0.1");
    PartitionTable table;
    flprog_get_part_table(&table);
    for (const PartitionRecord& r : table.records) {
        if (r.ver == 0)
            continue;
        print_header(r, table);
        print_version(r.ver);
        printf("\tsize    = %d K\n", int(r.size >> 10));
        print_date(r.date);
    }
}

int switch_system_args(uint32_t id)
{
    char defaults[128] = {};
    memcpy(defaults, default_boot_args, sizeof default_boot_args);
    const char digit = char('0' + id);

    PartitionTable table;
    if (flprog_get_part_table(&table) < 0) {
        fprintf(stderr, "get_env_mtd_table faild!\n");
        return -1;
    }
    if (!set_bank_digit(table.bootcmd, sizeof table.bootcmd, "ker", digit)) {
        fprintf(stderr, "Can't find kernel partition!\n");
        return -1;
    }
    if (!strstr(table.bootargs, "=fs"))
        memcpy(table.bootargs, defaults, sizeof defaults);
    set_bank_digit(table.bootargs, sizeof table.bootargs, "=fs", digit);
    return set_boot_args(&table);
}

int switch_system(uint32_t id)
{
    if (id != 1 && id != 2) {
        fprintf(stderr, "Unknown fs index, please choose 1 or 2\n");
        return -1;
    }
    switch_system_args(id);
    printf("\tFilesys will switch to fs%d after reboot!\n", int(id));
    pf_sleep(3);
    return shell_run("reboot");
}
