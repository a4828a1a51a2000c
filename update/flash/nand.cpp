#include "update/flash/flash.h"

#include "common/crc32.h"
#include "common/shell.h"
#include "common/unique_fd.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <string_view>

namespace {

constexpr uint32_t MAX_PAGE_SIZE = 2048;

// The only page/spare-area pairs this writer knows how to handle.
bool accepted_geometry(const mtd_info_user& info)
{
    constexpr std::array<std::array<uint32_t, 2>, 3> pairs{{{512, 16}, {256, 8}, {2048, 64}}};
    bool known = std::any_of(pairs.begin(), pairs.end(), [&](const auto& p) {
        return p[0] == info.writesize && p[1] == info.oobsize;
    });
    // Block skipping divides by the erase size and must land on a page boundary.
    return known && info.erasesize != 0 && info.erasesize % info.writesize == 0;
}

// Opens the partition and checks its geometry. 0, or the code shared by writer and checker.
int open_partition(const char* dev, int flags, UniqueFd* fd, mtd_info_user* info)
{
    *fd = UniqueFd(pf_open(dev, flags));
    if (!fd->ok()) {
        perror("open flash");
        return 2;
    }
    if (pf_ioctl(fd->get(), MEMGETINFO, info) < 0) {
        perror("MEMGETINFO");
        return 3;
    }
    if (!accepted_geometry(*info)) {
        fprintf(stderr, "Unknown flash (not normal NAND)\n");
        return 4;
    }
    return 0;
}

// Moves *offset past bad erase blocks, querying each newly entered block once.
// 0, or -1 when a query failed (errno set).
int skip_bad_blocks(int fd, const mtd_info_user& info, uint64_t* offset, int64_t* last_block)
{
    for (;;) {
        int64_t block = static_cast<int64_t>(*offset - *offset % info.erasesize);
        if (block == *last_block)
            return 0;
        *last_block = block;
        loff_t query = block;
        int bad = pf_ioctl(fd, MEMGETBADBLOCK, &query);
        if (bad < 0)
            return -1;
        if (bad > 0) {
            fprintf(stderr, "Bad block at %x, %u block(s) from %x will be skipped\n",
                    static_cast<unsigned>(query), 1u, static_cast<unsigned>(block));
            *offset = static_cast<uint64_t>(block) + info.erasesize;
        }
    }
}

// One page for the whole process: memory stays the same whatever the image size.
std::array<uint8_t, MAX_PAGE_SIZE> page_buffer;

}  // namespace

int nand_flash_write_file(const char* image_path, const WriteJob* job)
{
    UniqueFd dev;
    mtd_info_user info{};
    if (int rc = open_partition(job->dev, O_RDWR, &dev, &info))
        return rc;

    UniqueFd image(pf_open(image_path, O_RDONLY));
    if (!image.ok()) {
        fprintf(stderr, "open input file.\n");
        return 5;
    }

    // 64-bit so that no component size can turn negative.
    int64_t remaining = job->size;
    const uint32_t page = info.writesize;
    if (!job->pad && remaining % page != 0) {
        dev.close();
        image.close();
        fprintf(stderr, "file is not page aligned.\n");
        return 6;
    }
    if (static_cast<uint64_t>(remaining / page) * page > info.size) {
        fprintf(stderr, "Image %d bytes, NAND page %d bytes, OOB area %u bytes, device size %u bytes\n",
                static_cast<int>(remaining), static_cast<int>(page), info.oobsize, info.size);
        dev.close();
        image.close();
        fprintf(stderr, "Input file does not fit into device!\n");
        return 7;
    }

    char command[64];
    snprintf(command, sizeof(command), "/usr/sbin/flash_erase %s 0 0", job->dev);
    if (shell_run(command) != 0) {
        fprintf(stderr, "Fail on erase mtd device!\n");
        return 1;
    }

    page_buffer.fill(0);
    uint64_t flash_offset = 0;
    uint64_t image_offset = job->offset;
    int64_t last_block = -1;
    while (remaining != 0 && flash_offset < info.size) {
        if (skip_bad_blocks(dev.get(), info, &flash_offset, &last_block) < 0) {
            perror("ioctl get bad block");
            return 8;
        }
        size_t length = page;
        if (job->pad && remaining < page) {
            length = static_cast<size_t>(remaining);
            std::fill(page_buffer.begin() + length, page_buffer.begin() + page, 0xFF);
        }
        ssize_t got = pf_pread(image.get(), page_buffer.data(), length, static_cast<off_t>(image_offset));
        if (got == 0) {
            fprintf(stderr, "read file return 0 size!\n");
            break;
        }
        if (got != static_cast<ssize_t>(length)) {
            fprintf(stderr, "File I/O error on input file.\n");
            return 9;
        }
        if (pf_pwrite(dev.get(), page_buffer.data(), page, static_cast<off_t>(flash_offset)) !=
            static_cast<ssize_t>(page)) {
            fprintf(stderr, "Pwrite file to mtd fail.\n");
            return 10;
        }
        remaining -= static_cast<int64_t>(length);
        flash_offset += page;
        image_offset += page;
    }

    dev.close();
    image.close();
    if (remaining > 0) {
        fprintf(stderr, "Data was only partially written due to error\n");
        return 11;
    }
    shell_run("sync");
    return 0;
}

int clean_memory()
{
    if (shell_run("echo 3 > /proc/sys/vm/drop_caches") != 0) {
        fprintf(stderr, "clean memory failed!\n");
        return -1;
    }
    shell_run("sync");
    return 0;
}

int nand_flash_verify_file(const WriteJob* job, uint32_t expected_crc, PartitionTable* table)
{
    UniqueFd dev;
    mtd_info_user info{};
    if (int rc = open_partition(job->dev, O_RDONLY, &dev, &info))
        return rc;

    const uint32_t page = info.writesize;
    int64_t remaining = job->size;
    uint32_t crc = 0;
    uint64_t flash_offset = 0;
    int64_t last_block = -1;
    std::array<uint8_t, MAX_PAGE_SIZE> buffer;
    while (remaining != 0 && flash_offset < info.size) {
        if (skip_bad_blocks(dev.get(), info, &flash_offset, &last_block) < 0) {
            perror("ioctl get bad block");
            return 8;
        }
        if (pf_pread(dev.get(), buffer.data(), page, static_cast<off_t>(flash_offset)) !=
            static_cast<ssize_t>(page)) {
            perror("pread mtd");
            return 12;
        }
        // Only the component's own bytes count: the writer padded a short last page with 0xFF.
        size_t length = std::min<int64_t>(remaining, page);
        crc = crc32(crc, buffer.data(), length);
        remaining -= static_cast<int64_t>(length);
        flash_offset += page;
    }
    dev.close();

    if (remaining > 0) {
        fprintf(stderr, "Data was only partially read due to error\n");
        return 13;
    }
    printf("image_length = 0x%08x\n", job->size);
    printf("image_crc = 0x%08x, 0x%08x\n", crc, expected_crc);
    if (crc != expected_crc) {
        fprintf(stderr, "Check flash data crc failed. \n");
        return 14;
    }

    std::string_view name(job->name, strnlen(job->name, sizeof(job->name)));
    auto found = std::find(partition_names.begin(), partition_names.end(), name);
    if (found == partition_names.end()) {
        fprintf(stderr, "Not valid image, has write img,but no update env!\n");
        return 15;
    }
    PartitionRecord& record = table->records[found - partition_names.begin()];
    record.size = job->size;
    record.ver = job->version;
    record.date = job->date;
    // A partition the environment knew nothing about is recorded under its own name; an empty
    // name would define a nameless variable and corrupt the environment.
    if (record.name[0] == '\0')
        snprintf(record.name, sizeof(record.name), "%.*s", static_cast<int>(name.size()), name.data());
    if (set_firmware_info(&record) < 0) {
        fprintf(stderr, "set firmware info  faild!\n");
        return 17;
    }
    return 0;
}
