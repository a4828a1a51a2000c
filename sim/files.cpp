// Files and devices of the simulated camera: regular files under the root, MTD devices with
// NAND rules, and the dispatch of device requests.
#include "platform/platform.h"
#include "sim/devices.h"
#include "sim/internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace sim;

namespace {

constexpr size_t chunk_size = 64 * 1024;

Kind kind_of(const std::string& normal, const MtdDev** mtd)
{
    *mtd = mtd_of_path(normal);
    if (*mtd)
        return Kind::mtd;
    if (normal == "/dev/watchdog")
        return Kind::watchdog;
    if (normal.rfind("/dev/i2c-", 0) == 0)
        return Kind::i2c;
    if (normal == "/dev/mem")
        return Kind::mem;
    return Kind::file;
}

OpenFile* open_file(int fd)
{
    auto& files = state().files;
    auto it = files.find(fd);
    return it == files.end() ? nullptr : &it->second;
}

bool writable(const OpenFile& f) { return (f.flags & O_ACCMODE) != O_RDONLY; }
bool readable(const OpenFile& f) { return (f.flags & O_ACCMODE) != O_WRONLY; }

// Device nodes look like character devices, as on the camera.
void as_char_device(const std::string& normal, struct stat* st)
{
    const MtdDev* d = nullptr;
    Kind k = kind_of(normal, &d);
    if (k == Kind::file)
        return;
    st->st_mode = S_IFCHR | (st->st_mode & 07777);
    st->st_size = 0;
    switch (k) {
    case Kind::mtd: st->st_rdev = makedev(90, 2 * d->number); break;
    case Kind::watchdog: st->st_rdev = makedev(10, 130); break;
    case Kind::i2c: st->st_rdev = makedev(89, atoi(normal.c_str() + 9)); break;
    case Kind::mem: st->st_rdev = makedev(1, 1); break;
    case Kind::file: break;
    }
}

uint64_t pages_touched(uint64_t pos, uint64_t len, uint32_t ws)
{
    return len == 0 ? 0 : (pos + len - 1) / ws - pos / ws + 1;
}

ssize_t mtd_read(const MtdDev& d, int fd, void* buf, size_t n, uint64_t pos)
{
    if (pos >= d.size || n == 0)
        return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, d.size - pos));
    ssize_t r = ::pread(fd, buf, n, static_cast<off_t>(pos));
    if (r > 0)
        counters(d.number).read += pages_touched(pos, static_cast<uint64_t>(r), d.writesize);
    return r;
}

// Books the program of bytes [from, to) of page (unit) u. A NAND sub-page programmed again
// without an erase breaks the chip's rules; other sub-pages of a programmed page do not.
void count_program(const MtdDev& d, uint64_t unit, uint64_t from, uint64_t to)
{
    Counters& c = counters(d.number);
    ++c.programmed;
    uint64_t per_block = d.erasesize / d.writesize;
    if (d.is_bad(unit / per_block))
        ++c.bad_writes;
    if (!d.nand)
        return;
    uint8_t* map = page_map(d);
    bool again = false;
    for (uint64_t sp = from / d.subpage(); sp < (to + d.subpage() - 1) / d.subpage(); ++sp) {
        uint8_t bit = static_cast<uint8_t>(1u << (sp % 8));
        again = again || (map[sp / 8] & bit);
        map[sp / 8] |= bit;
    }
    if (again)
        ++c.reprogrammed;
}

// Programs [pos, pos+n): each stored byte becomes old AND new, as flash cells only lose charge.
bool program(const MtdDev& d, int fd, const uint8_t* src, size_t n, uint64_t pos)
{
    static uint8_t cells[chunk_size];
    size_t done = 0;
    while (done < n) {
        uint64_t at = pos + done;
        size_t len = std::min(n - done, chunk_size);
        // Chunks end on page boundaries, so that a page is one program operation of the write.
        uint64_t page_end = (at + len) / d.writesize * d.writesize;
        if (done + len < n && page_end > at)
            len = static_cast<size_t>(page_end - at);
        ssize_t got = ::pread(fd, cells, len, static_cast<off_t>(at));
        if (got < 0)
            return false;
        memset(cells + got, 0xFF, len - static_cast<size_t>(got));
        for (size_t i = 0; i < len; ++i)
            cells[i] &= src[done + i];
        // One program operation for each page the chunk touches, whole or in sub-pages.
        uint64_t first = at / d.writesize, last = (at + len - 1) / d.writesize;
        for (uint64_t u = first; u <= last; ++u) {
            uint64_t ua = std::max(at, u * d.writesize);
            uint64_t ub = std::min(at + len, (u + 1) * d.writesize);
            count_program(d, u, ua, ub);
            if (mutation_fails()) {
                size_t keep = static_cast<size_t>(ua - at + (ub - ua) / 2);
                ssize_t w = ::pwrite(fd, cells, keep, static_cast<off_t>(at));
                (void)w;
                power_lost();
            }
        }
        if (::pwrite(fd, cells, len, static_cast<off_t>(at)) != static_cast<ssize_t>(len))
            return false;
        done += len;
    }
    return true;
}

ssize_t mtd_write(const OpenFile& f, const MtdDev& d, int fd, const void* buf, size_t n, uint64_t pos)
{
    if (!writable(f)) {
        errno = EBADF;
        return -1;
    }
    if (pos >= d.size) {
        errno = ENOSPC;
        return -1;
    }
    n = static_cast<size_t>(std::min<uint64_t>(n, d.size - pos));
    if (n == 0)
        return 0;
    // NAND takes whole sub-pages; the rest of a page keeps what it holds.
    if (d.nand && (pos % d.subpage() != 0 || n % d.subpage() != 0)) {
        errno = EINVAL;
        return -1;
    }
    if (!program(d, fd, static_cast<const uint8_t*>(buf), n, pos)) {
        errno = EIO;
        return -1;
    }
    return static_cast<ssize_t>(n);
}

int mtd_ioctl(const OpenFile& f, const MtdDev& d, int fd, unsigned long request, void* arg)
{
    switch (request) {
    case MEMGETINFO: {
        mtd_info_user info {};
        info.type = d.nand ? MTD_NANDFLASH : MTD_NORFLASH;
        info.flags = d.nand ? MTD_CAP_NANDFLASH : MTD_CAP_NORFLASH;
        info.size = static_cast<uint32_t>(d.size);
        info.erasesize = d.erasesize;
        info.writesize = d.writesize;
        info.oobsize = d.oobsize;
        memcpy(arg, &info, sizeof(info));
        return 0;
    }
    case MEMGETBADBLOCK: {
        loff_t offset = 0;
        memcpy(&offset, arg, sizeof(offset));
        if (offset < 0 || static_cast<uint64_t>(offset) >= d.size) {
            errno = EINVAL;
            return -1;
        }
        return d.nand && d.is_bad(static_cast<uint64_t>(offset) / d.erasesize) ? 1 : 0;
    }
    case MEMERASE:
    case MEMLOCK:
    case MEMUNLOCK: {
        if (!writable(f)) {
            errno = EPERM;
            return -1;
        }
        erase_info_user range {};
        memcpy(&range, arg, sizeof(range));
        uint64_t start = range.start, length = range.length;
        if (start >= d.size || length > d.size - start) {
            errno = EINVAL;
            return -1;
        }
        if (length == 0)
            return 0;
        if (request != MEMERASE) {
            if (d.nand) {
                errno = 524;  // the kernel's ENOTSUPP: raw NAND has no lock
                return -1;
            }
            return 0;
        }
        if (start % d.erasesize != 0 || length % d.erasesize != 0) {
            errno = EINVAL;
            return -1;
        }
        for (uint64_t b = start / d.erasesize; b < (start + length) / d.erasesize; ++b) {
            if (d.nand && d.is_bad(b)) {
                errno = EIO;
                return -1;
            }
            if (erase_block(d, fd, b) != 0) {
                errno = EIO;
                return -1;
            }
        }
        return 0;
    }
    default: errno = ENOTTY; return -1;
    }
}

const char* mtd_request_name(unsigned long request)
{
    switch (request) {
    case MEMGETINFO: return "MEMGETINFO";
    case MEMERASE: return "MEMERASE";
    case MEMGETBADBLOCK: return "MEMGETBADBLOCK";
    case MEMLOCK: return "MEMLOCK";
    case MEMUNLOCK: return "MEMUNLOCK";
    default: return "ioctl";
    }
}

int do_ioctl(int fd, unsigned long request, void* ptr, unsigned long value, bool has_ptr)
{
    OpenFile* f = open_file(fd);
    if (!f) {
        if (::fcntl(fd, F_GETFD) < 0)
            return -1;  // EBADF from fcntl
        errno = ENOTTY;
        return -1;
    }
    switch (f->kind) {
    case Kind::mtd: {
        if (fault(mtd_request_name(request), f->path))
            return -1;
        const MtdDev* d = find_mtd(f->mtd);
        if (!ptr) {
            errno = EFAULT;
            return -1;
        }
        return mtd_ioctl(*f, *d, fd, request, ptr);
    }
    case Kind::watchdog: return watchdog_ioctl(*f, request, ptr, value, has_ptr);
    case Kind::i2c: return i2c_ioctl(*f, request, value);
    default: errno = ENOTTY; return -1;
    }
}

}  // namespace

namespace sim {

int erase_block(const MtdDev& d, int fd, uint64_t block)
{
    static uint8_t erased[chunk_size];
    if (erased[0] != 0xFF)
        memset(erased, 0xFF, sizeof(erased));
    uint64_t start = block * d.erasesize;
    uint64_t len = d.erasesize;
    bool cut = mutation_fails();
    if (cut)
        len /= 2;
    for (uint64_t done = 0; done < len;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, chunk_size));
        if (::pwrite(fd, erased, n, static_cast<off_t>(start + done)) != static_cast<ssize_t>(n))
            return -1;
        done += n;
    }
    ++counters(d.number).erased;
    if (d.nand) {
        uint8_t* map = page_map(d);
        for (uint64_t sp = start / d.subpage(); sp < (start + len) / d.subpage(); ++sp)
            map[sp / 8] &= static_cast<uint8_t>(~(1u << (sp % 8)));
    }
    if (cut)
        power_lost();
    return 0;
}

}  // namespace sim

int pf_open(const char* path, int flags, mode_t mode)
{
    State& s = state();
    if (!path) {
        errno = EFAULT;
        return -1;
    }
    std::string normal = normal_path(path);
    const MtdDev* d = nullptr;
    Kind kind = kind_of(normal, &d);
    if (fault("open", path ? path : "")) {
        if (kind == Kind::watchdog)
            watchdog_log("open", -1, errno);
        return -1;
    }
    std::string mapped = map_path(path);
    int fd;
    if (kind == Kind::file) {
        fd = ::open(mapped.c_str(), flags, mode);
    } else {
        // A device node is never created, truncated or appended to; we need both directions
        // on the backing file to simulate it whatever the program asked for.
        fd = ::open(mapped.c_str(), O_RDWR | (flags & O_CLOEXEC));
    }
    if (fd >= 0)
        s.files[fd] = OpenFile {kind, path, flags, d ? d->number : -1};
    if (kind == Kind::watchdog)
        watchdog_log("open", fd < 0 ? -1 : 0, errno);
    return fd;
}

int pf_close(int fd)
{
    OpenFile* f = open_file(fd);
    if (!f)
        return ::close(fd);
    OpenFile copy = *f;
    state().files.erase(fd);
    bool failed = fault("close", copy.path);
    int saved = errno;
    // Like Linux, the descriptor is gone even when close reports an error.
    int r = ::close(fd);
    if (failed) {
        errno = saved;
        r = -1;
    }
    if (copy.kind == Kind::watchdog)
        watchdog_log("close", r, errno);
    return r;
}

ssize_t pf_read(int fd, void* buf, size_t count)
{
    OpenFile* f = open_file(fd);
    if (f && fault("read", f->path))
        return -1;
    if (!f || f->kind == Kind::file || f->kind == Kind::mem || f->kind == Kind::watchdog)
        return ::read(fd, buf, count);
    if (!readable(*f)) {
        errno = EBADF;
        return -1;
    }
    if (f->kind == Kind::i2c)
        return i2c_read(fd, buf, count);
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    ssize_t r = mtd_read(*find_mtd(f->mtd), fd, buf, count, static_cast<uint64_t>(pos));
    if (r > 0)
        ::lseek(fd, pos + r, SEEK_SET);
    return r;
}

ssize_t pf_write(int fd, const void* buf, size_t count)
{
    OpenFile* f = open_file(fd);
    if (f && fault("write", f->path))
        return -1;
    if (!f || f->kind == Kind::file || f->kind == Kind::mem)
        return ::write(fd, buf, count);
    if (f->kind == Kind::watchdog)
        return watchdog_write(*f, count);
    if (!writable(*f)) {
        errno = EBADF;
        return -1;
    }
    if (f->kind == Kind::i2c)
        return i2c_write(fd, buf, count);
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    ssize_t r = mtd_write(*f, *find_mtd(f->mtd), fd, buf, count, static_cast<uint64_t>(pos));
    if (r > 0)
        ::lseek(fd, pos + r, SEEK_SET);
    return r;
}

ssize_t pf_pread(int fd, void* buf, size_t count, off_t offset)
{
    OpenFile* f = open_file(fd);
    if (f && fault("pread", f->path))
        return -1;
    if (!f || f->kind != Kind::mtd)
        return ::pread(fd, buf, count, offset);
    if (!readable(*f)) {
        errno = EBADF;
        return -1;
    }
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    return mtd_read(*find_mtd(f->mtd), fd, buf, count, static_cast<uint64_t>(offset));
}

ssize_t pf_pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    OpenFile* f = open_file(fd);
    if (f && fault("pwrite", f->path))
        return -1;
    if (!f || f->kind != Kind::mtd)
        return ::pwrite(fd, buf, count, offset);
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    return mtd_write(*f, *find_mtd(f->mtd), fd, buf, count, static_cast<uint64_t>(offset));
}

off_t pf_lseek(int fd, off_t offset, int whence)
{
    OpenFile* f = open_file(fd);
    if (f && fault("lseek", f->path))
        return -1;
    if (!f || f->kind != Kind::mtd)
        return ::lseek(fd, offset, whence);
    // An MTD device is exactly as long as the flash: no seeking past its end.
    const MtdDev& d = *find_mtd(f->mtd);
    off_t base;
    switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = ::lseek(fd, 0, SEEK_CUR); break;
    case SEEK_END: base = static_cast<off_t>(d.size); break;
    default: errno = EINVAL; return -1;
    }
    off_t target = base + offset;
    if (target < 0 || static_cast<uint64_t>(target) > d.size) {
        errno = EINVAL;
        return -1;
    }
    return ::lseek(fd, target, SEEK_SET);
}

int pf_fstat(int fd, struct stat* st)
{
    OpenFile* f = open_file(fd);
    if (f && fault("fstat", f->path))
        return -1;
    int r = ::fstat(fd, st);
    if (r == 0 && f)
        as_char_device(normal_path(f->path.c_str()), st);
    return r;
}

int pf_stat(const char* path, struct stat* st)
{
    if (fault("stat", path ? path : ""))
        return -1;
    int r = ::stat(map_path(path).c_str(), st);
    if (r == 0)
        as_char_device(normal_path(path), st);
    return r;
}

int pf_lstat(const char* path, struct stat* st)
{
    if (fault("lstat", path ? path : ""))
        return -1;
    int r = ::lstat(map_path(path).c_str(), st);
    if (r == 0)
        as_char_device(normal_path(path), st);
    return r;
}

int pf_access(const char* path, int mode)
{
    if (fault("access", path ? path : ""))
        return -1;
    return ::access(map_path(path).c_str(), mode);
}

int pf_mkdir(const char* path, mode_t mode)
{
    if (fault("mkdir", path ? path : ""))
        return -1;
    return ::mkdir(map_path(path).c_str(), mode);
}

int pf_unlink(const char* path)
{
    if (fault("unlink", path ? path : ""))
        return -1;
    return ::unlink(map_path(path).c_str());
}

int pf_ftruncate(int fd, off_t length)
{
    OpenFile* f = open_file(fd);
    if (f && fault("ftruncate", f->path))
        return -1;
    if (f && f->kind != Kind::file) {
        errno = EINVAL;
        return -1;
    }
    return ::ftruncate(fd, length);
}

FILE* pf_fopen(const char* path, const char* mode)
{
    if (fault("open", path ? path : ""))
        return nullptr;
    return ::fopen(map_path(path).c_str(), mode);
}

int pf_ioctl(int fd, unsigned long request, void* arg) { return do_ioctl(fd, request, arg, 0, true); }

int pf_ioctl_arg(int fd, unsigned long request, unsigned long arg)
{
    return do_ioctl(fd, request, nullptr, arg, false);
}
