// mtd_probe DEVICE BADBLOCK: runs one fixed table of MTD operations on a NAND device and prints
// one line per operation: what was done, then what came back (a value, or the errno's name).
//
// The same source is linked with the Linux platform (run on the kernel's nandsim in the rig's
// virtual machine) and with the simulated platform (run on a simulated camera with the same
// geometry). The two tables must be identical: the simulated camera stands in for the kernel in
// every other test, so any difference is a fault of the simulated camera.
//
// The device must start erased everywhere except for the bad block BADBLOCK (an erase block
// index, at least 1 and at most the block count minus 3). The probe writes and erases freely.
#include "platform/platform.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr uint32_t max_page = 8192;

const char* errno_name(int e)
{
    switch (e) {
    case EINVAL: return "EINVAL";
    case EIO: return "EIO";
    case ENOSPC: return "ENOSPC";
    case ENOENT: return "ENOENT";
    case EBADF: return "EBADF";
    case EFAULT: return "EFAULT";
    case EROFS: return "EROFS";
    case EPERM: return "EPERM";
    case EBADMSG: return "EBADMSG";
    case EUCLEAN: return "EUCLEAN";
    case EOPNOTSUPP: return "EOPNOTSUPP";
    case ENOTTY: return "ENOTTY";
    case 524: return "ENOTSUPP(524)";
    default: return nullptr;
    }
}

void row(const char* what, const char* result)
{
    printf("%-44s %s\n", what, result);
}

// "ok VALUE" for a non-negative result, "err NAME" for -1.
void result_row(const char* what, long long ret, int err)
{
    char text[64];
    if (ret >= 0) {
        snprintf(text, sizeof text, "ok %lld", ret);
    } else if (const char* name = errno_name(err)) {
        snprintf(text, sizeof text, "err %s", name);
    } else {
        snprintf(text, sizeof text, "err errno %d", err);
    }
    row(what, text);
}

// Test data that differs from page to page and from seed to seed, and is never all 0xFF.
void pattern(uint8_t* buf, uint32_t len, uint32_t seed)
{
    for (uint32_t i = 0; i < len; ++i) {
        buf[i] = static_cast<uint8_t>((i * 31u + seed * 77u + (i >> 8)) ^ 0x5a);
    }
}

struct Probe {
    int fd = -1;
    mtd_info_user info{};
    uint64_t size = 0;
    uint32_t eb = 0, pg = 0;
    uint64_t bad = 0;  // byte offset of the bad block

    uint8_t a[2 * max_page];
    uint8_t b[2 * max_page];
    uint8_t got[2 * max_page];

    void badblock(const char* what, long long pos)
    {
        loff_t p = pos;
        errno = 0;
        int r = pf_ioctl(fd, MEMGETBADBLOCK, &p);
        result_row(what, r, errno);
    }

    void erase(const char* what, uint32_t start, uint32_t length)
    {
        erase_info_user e{start, length};
        errno = 0;
        int r = pf_ioctl(fd, MEMERASE, &e);
        result_row(what, r, errno);
    }

    void lock(const char* what, unsigned long request, uint32_t start, uint32_t length)
    {
        erase_info_user e{start, length};
        errno = 0;
        int r = pf_ioctl(fd, request, &e);
        result_row(what, r, errno);
    }

    void write(const char* what, const uint8_t* data, uint32_t len, uint64_t pos)
    {
        errno = 0;
        ssize_t r = pf_pwrite(fd, data, len, static_cast<off_t>(pos));
        result_row(what, r, errno);
    }

    void read(const char* what, uint32_t len, uint64_t pos)
    {
        errno = 0;
        ssize_t r = pf_pread(fd, got, len, static_cast<off_t>(pos));
        result_row(what, r, errno);
    }

    // Reads len bytes at pos and names what they hold: "erased", "A" or "B" (the test data
    // from offset skip on), or "mixed" (anything else, such as two programs over each other).
    void content(const char* what, uint32_t len, uint64_t pos, uint32_t skip = 0)
    {
        errno = 0;
        ssize_t r = pf_pread(fd, got, len, static_cast<off_t>(pos));
        if (r != static_cast<ssize_t>(len)) {
            result_row(what, r, errno);
            return;
        }
        bool erased = true, is_a = true, is_b = true;
        for (uint32_t i = 0; i < len; ++i) {
            erased = erased && got[i] == 0xFF;
            is_a = is_a && got[i] == a[skip + i];
            is_b = is_b && got[i] == b[skip + i];
        }
        row(what, erased ? "erased" : is_a ? "A" : is_b ? "B" : "mixed");
    }

    // Reads len bytes at pos after the test data A was written there as wlen bytes at wpos,
    // and shows them 512 bytes at a time: F erased, A the data where it was written, ? else.
    void map(const char* what, uint64_t pos, uint32_t len, uint64_t wpos, uint32_t wlen)
    {
        errno = 0;
        ssize_t r = pf_pread(fd, got, len, static_cast<off_t>(pos));
        if (r != static_cast<ssize_t>(len)) {
            result_row(what, r, errno);
            return;
        }
        char text[2 * max_page / 512 + 1] = {};
        uint32_t n = 0;
        for (uint32_t c = 0; c < len && n + 1 < sizeof text; c += 512) {
            bool erased = true, is_a = true;
            for (uint32_t i = c; i < c + 512 && i < len; ++i) {
                uint64_t at = pos + i;
                erased = erased && got[i] == 0xFF;
                is_a = is_a && at >= wpos && at < wpos + wlen && got[i] == a[at - wpos];
            }
            text[n++] = erased ? 'F' : is_a ? 'A' : '?';
        }
        row(what, text);
    }
};

Probe probe;

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: mtd_probe DEVICE BADBLOCK\n");
        return 2;
    }
    Probe& p = probe;
    const uint32_t bad_index = static_cast<uint32_t>(strtoul(argv[2], nullptr, 0));

    p.fd = pf_open(argv[1], O_RDWR);
    if (p.fd < 0) {
        result_row("open", -1, errno);
        return 1;
    }
    errno = 0;
    int r = pf_ioctl(p.fd, MEMGETINFO, &p.info);
    if (r < 0) {
        result_row("MEMGETINFO", r, errno);
        return 1;
    }
    char text[160];
    snprintf(text, sizeof text, "type=%u flags=0x%x size=0x%x erasesize=0x%x writesize=0x%x oobsize=%u",
             p.info.type, p.info.flags, p.info.size, p.info.erasesize, p.info.writesize, p.info.oobsize);
    row("MEMGETINFO", text);
    p.size = p.info.size;
    p.eb = p.info.erasesize;
    p.pg = p.info.writesize;
    p.bad = static_cast<uint64_t>(bad_index) * p.eb;
    if (p.pg == 0 || p.pg > max_page || p.eb < 4 * p.pg || bad_index < 1 ||
        p.bad + 3ull * p.eb > p.size) {
        fprintf(stderr, "mtd_probe: unusable geometry or bad block index\n");
        return 2;
    }
    const uint32_t eb = p.eb, pg = p.pg;
    const uint64_t size = p.size, bad = p.bad;
    const auto end32 = static_cast<uint32_t>(size);
    pattern(p.a, sizeof p.a, 1);
    pattern(p.b, sizeof p.b, 2);

    p.badblock("MEMGETBADBLOCK first block", 0);
    p.badblock("MEMGETBADBLOCK bad block", static_cast<long long>(bad));
    p.badblock("MEMGETBADBLOCK inside the bad block", static_cast<long long>(bad + 3 * pg + 5));
    p.badblock("MEMGETBADBLOCK last block", static_cast<long long>(size - eb));
    p.badblock("MEMGETBADBLOCK at the end", static_cast<long long>(size));
    p.badblock("MEMGETBADBLOCK past the end", static_cast<long long>(size + eb));
    p.badblock("MEMGETBADBLOCK at 4 GiB", 1ll << 32);
    p.badblock("MEMGETBADBLOCK negative", -1);

    // Block 0 and the blocks around the bad one.
    p.write("write page 0", p.a, pg, 0);
    p.content("  page 0 holds", pg, 0);
    p.erase("MEMERASE blocks 0-1", 0, 2 * eb);
    p.content("  page 0 holds", pg, 0);
    p.erase("MEMERASE misaligned start", pg, eb);
    p.erase("MEMERASE misaligned length", 0, eb + pg);
    p.erase("MEMERASE zero length", 0, 0);
    p.erase("MEMERASE at the end", end32, eb);
    p.erase("MEMERASE across the end", end32 - eb, 2 * eb);
    p.erase("MEMERASE bad block", static_cast<uint32_t>(bad), eb);
    p.write("write page before the bad block", p.a, pg, bad - eb);
    p.write("write page after the bad block", p.a, pg, bad + eb);
    p.erase("MEMERASE over the bad block", static_cast<uint32_t>(bad - eb), 3 * eb);
    p.content("  block before the bad one holds", pg, bad - eb);
    p.content("  block after the bad one holds", pg, bad + eb);

    // Page writes, each on pages of its own so that one result does not colour the next.
    p.write("write one page", p.a, pg, 2 * pg);
    p.content("  page 2 holds", pg, 2 * pg);
    p.write("write at a 512-byte offset", p.a, pg, 4 * pg + 512);
    p.map("  pages 4-5 hold", 4 * pg, 2 * pg, 4 * pg + 512, pg);
    p.write("write at a 100-byte offset", p.a, pg, 6 * pg + 100);
    p.map("  pages 6-7 hold", 6 * pg, 2 * pg, 6 * pg + 100, pg);
    p.write("write 1024 bytes", p.a, 1024, 8 * pg);
    p.map("  page 8 holds", 8 * pg, pg, 8 * pg, 1024);
    p.write("write 1000 bytes", p.a, 1000, 10 * pg);
    p.map("  page 10 holds", 10 * pg, pg, 10 * pg, 1000);
    p.write("write a page and a half", p.a, pg + pg / 2, 12 * pg);
    p.map("  pages 12-13 hold", 12 * pg, 2 * pg, 12 * pg, pg + pg / 2);
    p.write("write zero bytes", p.a, 0, 14 * pg);
    p.write("write two pages", p.a, 2 * pg, 16 * pg);
    p.content("  pages 16-17 hold", 2 * pg, 16 * pg);
    p.write("write at the end", p.a, pg, size);
    p.write("write past the end", p.a, pg, size + eb);
    p.write("write across the end", p.a, 2 * pg, size - pg);
    p.content("  last page holds", pg, size - pg);
    p.write("write into the bad block", p.a, pg, bad);
    p.content("  bad block page holds", pg, bad);
    p.write("write page 0 after its erase", p.a, pg, 0);
    p.write("write page 0 again without erase", p.b, pg, 0);
    p.read("  read page 0", pg, 0);
    p.content("  page 0 holds", pg, 0);

    // Descriptor position: write and read at the current position, as the environment code does.
    const uint64_t cur = bad + 2 * eb;
    errno = 0;
    off_t at = pf_lseek(p.fd, static_cast<off_t>(cur), SEEK_SET);
    result_row("lseek to a page", at < 0 ? -1 : static_cast<long long>(at - cur), errno);
    errno = 0;
    ssize_t n = pf_write(p.fd, p.a, 2 * pg);
    result_row("write two pages at the position", n, errno);
    errno = 0;
    at = pf_lseek(p.fd, 0, SEEK_CUR);
    result_row("  position moved by", at < 0 ? -1 : static_cast<long long>(at - cur), errno);
    errno = 0;
    n = pf_write(p.fd, p.a, 1000);
    result_row("write 1000 bytes at the position", n, errno);
    errno = 0;
    at = pf_lseek(p.fd, static_cast<off_t>(cur), SEEK_SET);
    n = pf_read(p.fd, p.got, 3 * pg / 2 > max_page ? max_page : 3 * pg / 2);
    result_row("read 1.5 pages at the position", n, errno);
    errno = 0;
    at = pf_lseek(p.fd, 0, SEEK_END);
    result_row("lseek to the end", at < 0 ? -1 : static_cast<long long>(at), errno);

    // Reads at any offset.
    p.content("read misaligned inside written pages", 100, 16 * pg + 10, 10);
    p.content("read erased page", pg, 6 * pg);
    p.read("read across the end", pg, size - 100);
    p.read("read at the end", pg, size);
    p.read("read past the end", pg, size + eb);

    // Locking.
    p.lock("MEMLOCK block 0", MEMLOCK, 0, eb);
    p.lock("MEMUNLOCK block 0", MEMUNLOCK, 0, eb);
    p.lock("MEMLOCK zero length", MEMLOCK, 0, 0);
    p.lock("MEMLOCK at the end", MEMLOCK, end32, eb);
    p.lock("MEMUNLOCK at the end", MEMUNLOCK, end32, eb);

    errno = 0;
    result_row("close", pf_close(p.fd), errno);
    errno = 0;
    int missing = pf_open("/dev/mtd99", O_RDWR);
    result_row("open a missing device", missing < 0 ? -1 : 0, errno);
    if (missing >= 0) {
        pf_close(missing);
    }
    return 0;
}
