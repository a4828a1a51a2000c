// Reading UpgradeImages: header, listing, CRC check, extraction and the analysis.
#include "update/image/image.h"

#include "common/crc32.h"
#include "common/shell.h"
#include "common/unique_fd.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

namespace {

unsigned byte_of(uint32_t value, int shift) { return (value >> shift) & 0xFFu; }

void print_name(const ComponentEntry& e) { printf("%.*s: \n", entry_name_length(e), e.name); }

void print_date(uint32_t d) { printf("date    = %u/%u/%u\n", d >> 16, byte_of(d, 8), byte_of(d, 0)); }

void print_version(uint32_t v)
{
    printf("version = %u.%u.%u.%u\n", byte_of(v, 24), byte_of(v, 16), byte_of(v, 8), byte_of(v, 0));
}

// Checks the image opened as fd (negative: the open failed) and reads its header.
int read_header(const char* path, int fd, ImageHeader* header)
{
    if (fd < 0) {
        perror("open output imager");
        return -1;
    }
    struct stat st;
    if (pf_fstat(fd, &st) != 0) {
        perror("fstat output imager");
        return -1;
    }
    if (st.st_size < static_cast<off_t>(IMAGE_HEADER_SIZE)) {
        fprintf(stderr, "Bad size: \"%s\" is no valid image\n", path);
        return -1;
    }
    errno = 0;  // a short read sets no error of its own
    if (pf_read(fd, header, IMAGE_HEADER_SIZE) != static_cast<ssize_t>(IMAGE_HEADER_SIZE)) {
        perror("read output imager");
        return -1;
    }
    return 0;
}

int entry_crc_matches(int fd, const ComponentEntry& e)
{
    if (pf_lseek(fd, e.offset, SEEK_SET) < 0) {
        perror("lseek output imager");
        return -1;
    }
    uint8_t piece[IMAGE_DATA_PIECE];
    uint32_t sum = 0;
    for (uint32_t done = 0; done < e.size;) {
        uint32_t want = e.size - done >= IMAGE_DATA_PIECE ? IMAGE_DATA_PIECE : e.size - done;
        errno = 0;
        if (pf_read(fd, piece, want) != static_cast<ssize_t>(want)) {
            perror("read output imager");
            return -1;
        }
        sum = crc32(sum, piece, want);
        done += want;
    }
    if (sum != e.crc32) {
        fprintf(stderr, "check_img_crc %.*s failed\n", entry_name_length(e), e.name);
        return -1;
    }
    return 0;
}

}  // namespace

int image_get_header_info(const char* path, ImageHeader* header)
{
    UniqueFd image(pf_open(path, O_RDONLY));
    return read_header(path, image.get(), header);
}

int image_list_info(const char* path)
{
    ImageHeader header;
    if (image_get_header_info(path, &header) != 0)
        return -1;
    printf("Image info: \n");
    for (const ComponentEntry& e : header.entries) {
        if (!entry_is_named(e))
            continue;
        print_name(e);
        if (entry_is_present(e)) {
            printf("offset  = 0x%08X\n", e.offset);
            printf("size    = %u K\n", e.size >> 10);
            printf("addr    = 0x%08X\n", e.addr);
            printf("flag    = 0x%08X\n", e.flag);
            print_date(e.date);
            printf("crc32   = 0x%08X\n", e.crc32);
        }
        print_version(e.version);
    }
    return 0;
}

int check_img_crc(const char* path)
{
    UniqueFd image(pf_open(path, O_RDONLY));
    ImageHeader header;
    if (read_header(path, image.get(), &header) != 0)
        return -1;
    for (const ComponentEntry& e : header.entries) {
        if (!entry_is_named(e) || !entry_is_present(e))
            continue;
        print_name(e);
        printf("offset  = 0x%08X\n", e.offset);
        printf("size    = 0x%08X (%u K)\n", e.size, e.size >> 10);
        printf("addr    = 0x%08X\n", e.addr);
        printf("flag    = 0x%08X\n", e.flag);
        print_date(e.date);
        printf("crc32   = 0x%08X\n", e.crc32);
        print_version(e.version);
        if (entry_crc_matches(image.get(), e) != 0)
            return -1;
    }
    return 0;
}

int image_extract_data(int image_fd, const char* out_path, uint32_t offset, uint32_t size)
{
    // Truncated, so that a shorter component leaves no tail of an older file behind; never
    // through a link, which anybody may plant in a shared folder such as /dev/shm. Nor into a
    // file that somebody else planted there: its owner could swap it for a link before the
    // caller's chmod, which follows links.
    UniqueFd out(pf_open(out_path, O_RDWR | O_CREAT | O_NOFOLLOW, 0666));
    if (out.ok()) {
        struct stat st;
        if (pf_fstat(out.get(), &st) != 0) {
            out.close();
        } else if (!S_ISREG(st.st_mode) || st.st_uid != pf_geteuid()) {
            out.close();
            errno = EPERM;
        }
    }
    if (!out.ok() || pf_ftruncate(out.get(), 0) != 0) {
        perror("open output imager");
        return -1;
    }
    if (pf_lseek(image_fd, offset, SEEK_SET) < 0) {
        perror("lseek input imager");
        return -1;
    }
    uint8_t piece[IMAGE_DATA_PIECE];
    for (uint32_t copied = 0; copied < size;) {
        uint32_t want = size - copied >= IMAGE_DATA_PIECE ? IMAGE_DATA_PIECE : size - copied;
        ssize_t got = pf_read(image_fd, piece, want);
        if (got < 0) {
            perror("read input imager");
            return -1;
        }
        if (got == 0)
            break;  // the image ends early: keep what exists
        errno = 0;
        if (pf_write(out.get(), piece, static_cast<size_t>(got)) != got) {
            perror("write output imager");
            return -1;
        }
        copied += static_cast<uint32_t>(got);
    }
    return 0;
}

int image_analysis(const char* path)
{
    printf("==============name %s=\n", path);
    UniqueFd image(pf_open(path, O_RDONLY));
    ImageHeader header;
    if (read_header(path, image.get(), &header) != 0)
        return -1;
    const ComponentSlot& cmd = component_slots[SLOT_CMD];
    for (const ComponentEntry& e : header.entries) {
        if (!entry_is_present(e) || entry_name(e) != cmd.name)
            continue;
        printf("Create file: %s \n", cmd.install_path);
        if (image_extract_data(image.get(), cmd.install_path, e.offset, e.size) != 0) {
            fprintf(stderr, "write %s faild\n", cmd.install_path);
            return -1;
        }
        char command[64];
        snprintf(command, sizeof command, "chmod 777 %s", cmd.install_path);
        shell_run(command);
    }
    return 0;
}
