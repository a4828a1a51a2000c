#include "update/upgrade/upgrade.h"

#include "common/unique_fd.h"
#include "platform/platform.h"
#include "update/env/env.h"
#include "update/flash/flash.h"
#include "update/image/image.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>

namespace {

constexpr const char* TOOL_DIR = "/mnt/nand/fyi2";
constexpr const char* TOOL_FILE = "/mnt/nand/fyi2/FYI_config.bin";

// Where each planned slot's failure code gets its slot bit.
constexpr std::array<int, COMPONENT_COUNT> slot_bits{0, 0x100, 0x200, 0x400, 0, 0x100};

void line(const char* text) { printf("%s\n", text); }

uint32_t third_number(uint32_t version) { return (version >> 8) & 0xFF; }


void plan(WriteJob* job, const char* name, const char* dev)
{
    job->pad = 1;
    snprintf(job->name, sizeof(job->name), "%s", name);
    snprintf(job->dev, sizeof(job->dev), "%s", dev);
}

void plan_from_map(WriteJob* job, const MtdDevice& target) { plan(job, target.name, target.dev); }

// Extracts every component named "tool". 0, or -1 after its report.
int extract_tool(const char* path, const ImageHeader& header)
{
    UniqueFd image(pf_open(path, O_RDONLY));
    if (!image.ok()) {
        perror("open output imager");
        return -1;
    }
    struct stat st;
    if (pf_fstat(image.get(), &st) < 0) {
        perror("fstat output imager");
        return -1;
    }
    for (const ComponentEntry& e : header.entries) {
        if (!entry_is_present(e) || entry_name(e) != "tool")
            continue;
        printf("Create file: %s \n", TOOL_FILE);
        if (image_extract_data(image.get(), TOOL_FILE, e.offset, e.size) != 0) {
            int saved = errno;
            image.close();
            errno = saved;
            perror("Read tool failed!!!!");
            return -1;
        }
    }
    return 0;
}

// Removes the address token (" ip=..." up to the next blank) from the boot arguments.
void remove_address(char* bootargs)
{
    char* token = strstr(bootargs, " ip=");
    if (!token)
        return;
    line("bootargs have ip");
    const char* rest = strchr(token + 1, ' ');
    if (!rest) {
        line("bootargs do not have blank");
        return;
    }
    char work[256];
    size_t head = std::min<size_t>(static_cast<size_t>(token - bootargs), sizeof(work) - 1);
    memcpy(work, bootargs, head);
    size_t tail = std::min(strlen(rest), sizeof(work) - 1 - head);
    memcpy(work + head, rest, tail);
    work[head + tail] = '\0';
    memcpy(bootargs, work, head + tail + 1);
}

void print_job(const WriteJob& job, int slot)
{
    printf("Update %s partition:[%d]\n", job.name, slot);
    printf("dev \t    = %s\n", job.dev);
    printf("offset   = 0x%08X\n", job.offset);
    printf("size\t    = 0x%08X (%d K)\n", job.size, static_cast<int>(job.size >> 10));
    printf("addr\t    = 0x%08X\n", job.addr);
    printf("flag\t    = 0x%08X\n", job.flag);
    printf("date\t    = %d/%d/%d\n\n", static_cast<int>(job.date >> 16), static_cast<int>((job.date >> 8) & 0xFF),
           static_cast<int>(job.date & 0xFF));
    printf("version = %d.%d.%d.%d\n\n", static_cast<int>(job.version >> 24), static_cast<int>((job.version >> 16) & 0xFF),
           static_cast<int>((job.version >> 8) & 0xFF), static_cast<int>(job.version & 0xFF));
}

}  // namespace

int is_dir(const char* path)
{
    struct stat st;
    if (!path || pf_lstat(path, &st) != 0)
        return 0;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int make_dirs(const char* path)
{
    if (!path)
        return -1;
    char work[256];
    snprintf(work, sizeof(work), "%s", path);
    size_t length = strlen(work);
    // Each prefix ending before a "/" (a leading "/" gives none), then the whole path.
    for (size_t end = 1; end <= length; ++end) {
        if (end < length && work[end] != '/')
            continue;
        char saved = work[end];
        work[end] = '\0';
        int rc = is_dir(work) ? 0 : pf_mkdir(work, 0775);
        work[end] = saved;
        if (rc != 0)
            return -1;
    }
    if (length == 0)
        return pf_mkdir(work, 0775) == 0 ? 0 : -1;
    return 0;
}

int get_current_bank()
{
    UniqueFd fd(pf_open("/proc/cmdline", O_RDONLY));
    if (!fd.ok()) {
        perror("open /proc/cmdline");
        return -1;
    }
    char text[1025];
    size_t have = 0;
    while (have < sizeof(text) - 1) {
        ssize_t got = pf_read(fd.get(), text + have, sizeof(text) - 1 - have);
        if (got <= 0)
            break;
        have += static_cast<size_t>(got);
    }
    text[have] = '\0';
    if (strstr(text, "ubi.mtd=fs1"))
        return 1;
    if (strstr(text, "ubi.mtd=fs2"))
        return 2;
    return -1;
}

int UPFW_run_update(const char* path)
{
    const int bank = get_current_bank();
    std::array<uint8_t, COMPONENT_COUNT> selected{};

    line("\n\nstart UPFW_run_update\n");
    printf("Verify image %s \n", path);
    if (check_img_crc(path) != 0) {
        fprintf(stderr, "Verify update firmware faild!\n");
        return -2;
    }
    ImageHeader header;
    if (image_get_header_info(path, &header) != 0) {
        fprintf(stderr, "image_get_header_info faild!\n");
        return -1;
    }
    make_dirs(TOOL_DIR);
    if (extract_tool(path, header) != 0)
        return -1;

    line("Get old ptb information!");
    PartitionTable table;
    if (flprog_get_part_table(&table) < 0) {
        fprintf(stderr, "flprog_get_part_table faild!\n");
        return -4;
    }
    line("Get mtd device information!");
    MtdDeviceMap map;
    if (get_mtd_info(&map) != 0) {
        fprintf(stderr, "get_mtd_info faild!\n");
        return -4;
    }

    const PartitionTable stored = table;  // the boot texts as they are on flash

    // Root filesystem digit: the stored boot arguments must name the running bank.
    char* fs = strstr(table.bootargs, "=fs");
    if (!fs) {
        fprintf(stderr, "cmdline: %s \n", table.bootargs);
        fprintf(stderr, "bootargs not find fs, maybe NFS!\n");
        return -4;
    }
    char& fs_digit = fs[3];
    if (bank == 2 && fs_digit == '2') {
        fs_digit = '1';
        line("  current is fs2 ");
    } else if (bank == 1 && fs_digit == '1') {
        fs_digit = '2';
        line("  current is fs1 ");
    } else {
        fprintf(stderr, "unknow fs partition or current fs mismatch bootargs fs!\n");
        return -9;
    }

    // Kernel digit: set whatever it held. A boot command ending in "ker" at the very end of
    // its copy has no room for the digit and cannot be switched.
    char* ker = strstr(table.bootcmd, "ker");
    if (!ker || ker + 3 >= table.bootcmd + sizeof(table.bootcmd) - 1) {
        fprintf(stderr, " bootcmd is null!\n");
        return -4;
    }
    ker[3] = bank == 2 ? '1' : '2';
    line(bank == 2 ? "  current is ker2 " : "  current is ker1 ");

    remove_address(table.bootargs);

    std::array<WriteJob, COMPONENT_COUNT> jobs{};
    const ComponentEntry* entries = header.entries;
    const PartitionRecord& uboot = table.records[0];
    printf("1111start to check UPFW_BLD===(%d, %d, %d, %d)\n", static_cast<int>(entries[SLOT_BLD].size),
           static_cast<int>(entries[SLOT_BLD].offset), static_cast<int>(third_number(entries[SLOT_BLD].version)),
           static_cast<int>(third_number(uboot.ver)));
    for (int slot : {SLOT_BLD, SLOT_BLD2}) {
        const ComponentEntry& e = entries[slot];
        if (entry_is_present(e) && third_number(e.version) == third_number(uboot.ver) && e.version >= uboot.ver) {
            selected[slot] = 1;
            plan(&jobs[slot], uboot.name, map.entries[0].dev);
        }
    }
    if (!entry_is_present(entries[SLOT_FS])) {
        fprintf(stderr, "No filesys image!\n");
        return -9;
    }
    selected[SLOT_FS] = 1;
    plan_from_map(&jobs[SLOT_FS], map.entries[bank == 1 ? 6 : 5]);
    if (!entry_is_present(entries[SLOT_KER]))
        return -8;
    selected[SLOT_KER] = 1;
    plan_from_map(&jobs[SLOT_KER], map.entries[bank == 1 ? 4 : 3]);

    for (int slot = 0; slot < COMPONENT_COUNT; ++slot) {
        if (!selected[slot])
            continue;
        WriteJob& job = jobs[slot];
        const ComponentEntry& e = entries[slot];
        job.offset = e.offset;
        job.size = e.size;
        job.flag = e.flag;
        job.addr = e.addr;
        job.version = e.version;
        job.date = e.date;
        print_job(job, slot);

        clean_memory();
        int code = nand_flash_write_file(path, &job);
        if (code != 0) {
            code |= 0x800;
        } else {
            clean_memory();
            code = nand_flash_verify_file(&job, e.crc32, &table);
        }
        if (code != 0)
            return code | slot_bits[slot];
    }

    if (set_boot_args(&table) < 0) {
        // bootargs may already name the new bank while bootcmd still names the old one: put the
        // old pair back so that the camera starts one whole bank.
        set_boot_args(&stored);
        fprintf(stderr, "set boot args  faild!\n");
        return 18;
    }
    line("\n\n end UPFW_run_update \n");
    return 0;
}
