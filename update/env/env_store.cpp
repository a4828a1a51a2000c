// The EnvStore: two redundant copies of the boot loader's environment on flash, one of which is
// kept in memory as the copy in use.
#include "update/env/env.h"
#include "update/env/env_store.h"

#include "common/crc32.h"
#include "common/unique_fd.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

constexpr uint8_t flag_active = 1;
constexpr uint8_t flag_obsolete = 0;
constexpr uint8_t type_nor = MTD_NORFLASH;
constexpr uint8_t type_nand = MTD_NANDFLASH;

enum class FlagScheme { none = 0, active_obsolete = 1, counter = 2 };

struct EnvDevice {
    char path[16];
    uint32_t offset;
    uint32_t copy_size;
    uint32_t sector_size;
    uint32_t sector_count;
    uint8_t flash_type;
};

struct EnvStore {
    EnvDevice devices[2];
    int current;
    uint8_t* kept;  // nullptr while no checked copy is in use
    FlagScheme scheme;
};

EnvStore store;

// Fixed buffers: one per copy while opening (the picked one stays the copy in use), and the
// whole erase unit for the read-modify-write of a save.
alignas(8) uint8_t copy_buf[2][env_copy_size];
alignas(8) uint8_t unit_buf[env_sector_size];

constexpr char default_environment[] =
    "bootcmd=bootp; setenv bootargs root=/dev/nfs nfsroot=${serverip}:${rootpath} "
    "ip=${ipaddr}:${serverip}:${gatewayip}:${netmask}:${hostname}::off; bootm\0"
    "bootdelay=5\0"
    "baudrate=115200\0"
    "\0";
static_assert(sizeof default_environment == 180);

uint32_t get_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_le32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

bool crc_good(const uint8_t* copy) { return crc32(0, copy + 5, env_data_size) == get_le32(copy); }

void configure_device(EnvDevice& d, const char* path)
{
    memset(&d, 0, sizeof d);
    snprintf(d.path, sizeof d.path, "%s", path);
    d.offset = 0;
    d.copy_size = env_copy_size;
    d.sector_size = env_sector_size;
    d.sector_count = 1;
    d.flash_type = 0;
}

// Moves all count bytes with the given call, going on after short transfers; false when the
// device stops early, with errno telling why (EIO when the device gave no reason).
template <typename Byte, typename Call>
bool transfer_all(int fd, Byte* p, size_t count, Call call)
{
    while (count > 0) {
        ssize_t n = call(fd, p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        p += n;
        count -= size_t(n);
    }
    return true;
}

bool read_all(int fd, uint8_t* dest, size_t count) { return transfer_all(fd, dest, count, pf_read); }
bool write_all(int fd, const uint8_t* src, size_t count) { return transfer_all(fd, src, count, pf_write); }

uint64_t round_down(uint64_t v, uint64_t unit) { return unit ? v - v % unit : v; }

int env_block_is_bad(int fd, uint8_t type, uint64_t position)
{
    if (type != type_nand)
        return 0;
    loff_t pos = loff_t(position);
    int r = pf_ioctl(fd, MEMGETBADBLOCK, &pos);
    if (r < 0) {
        perror("Cannot read bad block mark");
        return r;
    }
    return r > 0 ? r : 0;
}

long env_range_read(int d, int fd, uint8_t* dest, uint32_t count, uint64_t position, uint8_t type)
{
    const EnvDevice& dev = store.devices[d];
    uint64_t blockstart = round_down(position, dev.sector_size);
    uint64_t seek = position - blockstart;
    uint64_t blocklen, top, readlen;
    if (type == type_nand) {
        blocklen = dev.sector_size;
        top = round_down(dev.offset, blocklen) + uint64_t(dev.sector_count) * blocklen;
        readlen = count < blocklen - seek ? count : blocklen - seek;
    } else {
        blocklen = 0;
        top = position + count;
        readlen = count;
    }
    uint64_t processed = 0;
    while (processed < count) {
        // The range is checked before the unit is asked about: a unit past the copy's range
        // may lie past the end of the device, where the query itself fails.
        if (blockstart + seek + readlen > top) {
            fprintf(stderr, "Too few good blocks within range\n");
            return -1;
        }
        int bad = env_block_is_bad(fd, type, blockstart);
        if (bad < 0)
            return -1;
        if (bad) {
            blockstart += blocklen;
            continue;
        }
        if (pf_lseek(fd, off_t(blockstart + seek), SEEK_SET) < 0 ||
            !read_all(fd, dest + processed, size_t(readlen))) {
            fprintf(stderr, "Read error on %s: %s\n", dev.path, strerror(errno));
            return -1;
        }
        processed += readlen;
        readlen = count - processed < blocklen ? count - processed : blocklen;
        seek = 0;
        blockstart += blocklen;
    }
    return long(processed);
}

long env_range_write(int d, int fd, const uint8_t* src, uint32_t count, uint64_t position,
                     uint8_t type)
{
    const EnvDevice& dev = store.devices[d];
    const uint64_t blocklen = dev.sector_size;
    const uint64_t top = round_down(dev.offset, blocklen) + uint64_t(dev.sector_count) * blocklen;
    const uint64_t erase_start = round_down(position, blocklen);
    const uint64_t erase_len = top - erase_start;
    const uint64_t seek = position - erase_start;
    const uint64_t total = (seek + count + blocklen - 1) / blocklen * blocklen;
    if (erase_len > sizeof unit_buf) {
        errno = ENOMEM;
        fprintf(stderr, "Cannot malloc %u bytes: %s\n", unsigned(erase_len), strerror(errno));
        return -1;
    }

    const uint8_t* buf = src;
    if (total > count) {
        // The unit is erased as a whole: keep what lies around the copy. The bytes that the
        // copy replaces are not read.
        const uint64_t tail = seek + count;
        if (seek > 0 && env_range_read(d, fd, unit_buf, uint32_t(seek), erase_start, type) !=
                            long(seek))
            return -1;
        if (tail < total && env_range_read(d, fd, unit_buf + tail, uint32_t(total - tail),
                                           erase_start + tail, type) != long(total - tail))
            return -1;
        memcpy(unit_buf + seek, src, count);
        buf = unit_buf;
    }

    const uint64_t unit = type == type_nand ? blocklen : erase_len;
    uint64_t blockstart = erase_start;
    uint64_t processed = 0;
    while (processed < total) {
        if (blockstart + unit > top) {
            fprintf(stderr, "End of range reached, aborting\n");
            return -1;
        }
        int bad = env_block_is_bad(fd, type, blockstart);
        if (bad < 0)
            return bad;
        if (bad) {
            blockstart += blocklen;
            continue;
        }
        erase_info_user range{uint32_t(blockstart), uint32_t(unit)};
        pf_ioctl(fd, MEMUNLOCK, &range);
        if (pf_ioctl(fd, MEMERASE, &range) != 0) {
            fprintf(stderr, "MTD erase error on %s: %s\n", dev.path, strerror(errno));
            return -1;
        }
        if (pf_lseek(fd, off_t(blockstart), SEEK_SET) < 0) {
            fprintf(stderr, "Seek error on %s: %s\n", dev.path, strerror(errno));
            return -1;
        }
        if (!write_all(fd, buf + processed, size_t(unit))) {
            fprintf(stderr, "Write error on %s: %s\n", dev.path, strerror(errno));
            return -1;
        }
        pf_ioctl(fd, MEMLOCK, &range);
        processed += blocklen;
        blockstart += blocklen;
    }
    return long(processed);
}

int env_mark_obsolete(int d, int fd, uint64_t position)
{
    off_t r = pf_lseek(fd, off_t(position), SEEK_SET);
    if (r < 0) {
        fprintf(stderr, "Cannot seek to set the flag on %s \n", store.devices[d].path);
        return int(r);
    }
    const uint8_t obsolete = flag_obsolete;
    ssize_t w = pf_write(fd, &obsolete, 1);
    if (w < 0)
        perror("Could not set obsolete flag");
    return int(w);
}

int env_copy_read(int fd, uint8_t* dest)
{
    mtd_info_user info{};
    if (pf_ioctl(fd, MEMGETINFO, &info) != 0) {
        perror("Cannot get MTD information");
        return -1;
    }
    if (info.type != type_nor && info.type != type_nand) {
        fprintf(stderr, "Unsupported flash type %u\n", unsigned(info.type));
        return -1;
    }
    EnvDevice& dev = store.devices[store.current];
    dev.flash_type = info.type;
    long n = env_range_read(store.current, fd, dest, dev.copy_size, dev.offset, dev.flash_type);
    return n == long(dev.copy_size) ? 0 : -1;
}

int env_copy_write(int current_fd, int target_fd, int target)
{
    uint8_t& flag = store.kept[4];
    if (store.scheme == FlagScheme::active_obsolete)
        flag = flag_active;
    else
        flag = uint8_t(flag + 1);
    const EnvDevice& dev = store.devices[target];
    long r = env_range_write(target, target_fd, store.kept, store.devices[store.current].copy_size,
                             dev.offset, dev.flash_type);
    if (r < 0)
        return int(r);
    if (store.scheme == FlagScheme::active_obsolete)
        env_mark_obsolete(store.current, current_fd, store.devices[store.current].offset + 4);
    return 0;
}

// Opens the copy in use's device and reads it into dest, or (dest == nullptr) saves the kept
// copy to the other copy first and then to the copy in use.
int env_device_access(uint8_t* dest)
{
    const bool write_mode = dest == nullptr;
    const EnvDevice& cur = store.devices[store.current];
    UniqueFd fd(pf_open(cur.path, write_mode ? O_RDWR : O_RDONLY));
    if (!fd.ok()) {
        fprintf(stderr, "Can't open %s: %s\n", cur.path, strerror(errno));
        return -1;
    }
    int result;
    if (!write_mode) {
        result = env_copy_read(fd.get(), dest);
    } else {
        const int target = 1 - store.current;
        const EnvDevice& other = store.devices[target];
        UniqueFd tfd(pf_open(other.path, O_RDWR));
        if (!tfd.ok()) {
            fprintf(stderr, "Can't open %s: %s\n", other.path, strerror(errno));
            result = -1;
        } else {
            // A failure here has printed its own messages; the copy in use still holds the
            // old environment and is written next.
            env_copy_write(fd.get(), tfd.get(), target);
            result = env_copy_write(fd.get(), fd.get(), store.current);
            if (tfd.close() != 0) {
                fprintf(stderr, "I/O error on %s: %s\n", other.path, strerror(errno));
                result = -1;
            }
        }
    }
    if (fd.close() != 0) {
        fprintf(stderr, "I/O error on %s: %s\n", cur.path, strerror(errno));
        return -1;
    }
    return result;
}

int pick_copy(bool good0, uint8_t flag0, bool good1, uint8_t flag1)
{
    if (good0 && !good1)
        return 0;
    if (!good0 && good1)
        return 1;
    if (store.scheme == FlagScheme::active_obsolete) {
        if (flag0 == flag_active && flag1 == flag_obsolete)
            return 0;
        if (flag0 == flag_obsolete && flag1 == flag_active)
            return 1;
        if (flag0 == flag1)
            return 0;
        if (flag0 == 0xFF)
            return 0;
        if (flag1 == 0xFF)
            return 1;
        return 0;
    }
    if ((flag0 == 0xFF && flag1 == 0) || flag1 > flag0)
        return 1;
    return 0;
}

}  // namespace

int env_store_open()
{
    store.kept = nullptr;
    store.scheme = FlagScheme::none;
    configure_device(store.devices[0], "/dev/mtd1");
    configure_device(store.devices[1], "/dev/mtd2");
    for (const EnvDevice& d : store.devices) {
        struct stat st;
        if (pf_stat(d.path, &st) != 0) {
            fprintf(stderr, "Cannot access MTD device %s: %s\n", d.path, strerror(errno));
            return -1;
        }
    }

    memset(copy_buf[0], 0, env_copy_size);
    store.current = 0;
    if (env_device_access(copy_buf[0]) != 0)
        return -1;
    const bool good0 = crc_good(copy_buf[0]);
    const uint8_t flag0 = copy_buf[0][4];

    memset(copy_buf[1], 0, env_copy_size);
    store.current = 1;
    if (env_device_access(copy_buf[1]) != 0)
        return -1;

    const uint8_t t0 = store.devices[0].flash_type, t1 = store.devices[1].flash_type;
    if (t0 == type_nor && t1 == type_nor) {
        store.scheme = FlagScheme::active_obsolete;
    } else if (t0 == type_nand && t1 == type_nand) {
        store.scheme = FlagScheme::counter;
    } else {
        fprintf(stderr, "Incompatible flash types!\n");
        return -1;
    }
    const bool good1 = crc_good(copy_buf[1]);
    const uint8_t flag1 = copy_buf[1][4];

    if (!good0 && !good1) {
        fprintf(stderr, "Warning: Bad CRC, using default environment\n");
        memcpy(copy_buf[0] + 5, default_environment, sizeof default_environment);
        store.current = 0;
    } else {
        store.current = pick_copy(good0, flag0, good1, flag1);
    }
    store.kept = copy_buf[store.current];
    return 0;
}

int env_store_save()
{
    if (!store.kept) {
        fprintf(stderr, "Error: environment not available\n");
        return -1;
    }
    return env_device_access(nullptr);
}

int env_store_release()
{
    store.kept = nullptr;
    return 0;
}

char* env_store_data() { return store.kept ? reinterpret_cast<char*>(store.kept + 5) : nullptr; }

void env_store_set_crc(uint32_t crc)
{
    if (store.kept)
        put_le32(store.kept, crc);
}
