// camsim: making a factory-fresh camera, its boot loader, and the flash counters.
#include "sim/internal.h"
#include "sim/sim.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sim;

namespace {

struct Part {
    const char* name;
    uint64_t size;
    uint64_t small_size;
};

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB;
constexpr Part layout[] = {
    {"uboot", 1 * MiB, 256 * KiB}, {"env1", 512 * KiB, 512 * KiB}, {"env2", 512 * KiB, 512 * KiB},
    {"ker1", 8 * MiB, 1 * MiB},    {"ker2", 8 * MiB, 1 * MiB},     {"fs1", 40 * MiB, 2 * MiB},
    {"fs2", 40 * MiB, 2 * MiB},    {"cfg", 4 * MiB, 256 * KiB},    {"oem", 4 * MiB, 256 * KiB},
    {"rsd", 4 * MiB, 256 * KiB},   {"lorawanns", 1 * MiB, 256 * KiB},
};
constexpr uint32_t page = 2048, oob = 64, block = 128 * KiB;

// The boot loader's own CRC-32 (IEEE 802.3, as zlib): it shares no code with the programs it
// checks, so a fault in theirs cannot hide itself.
struct CrcTable {
    uint32_t entry[256];
    constexpr CrcTable() : entry()
    {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entry[n] = c;
        }
    }
};
constexpr CrcTable crc_table;

uint32_t crc32(uint32_t crc, const void* data, size_t len)
{
    const auto* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    while (len--)
        crc = crc_table.entry[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// The factory firmware of bank 1 and its boot loader: version 1.7.0.73 of 2021-03-15.
constexpr uint32_t factory_version = 0x01070049;
constexpr uint32_t factory_date = 0x07e5030f;
constexpr char product_code[] = "QVZ27R0807TA502G0100P77770000000";
constexpr char qvserver_pid[] = "321";

// The boot loader's own environment when neither copy is intact.
constexpr char default_bootcmd[] =
    "bootp; setenv bootargs root=/dev/nfs nfsroot=${serverip}:${rootpath} "
    "ip=${ipaddr}:${serverip}:${gatewayip}:${netmask}:${hostname}::off; bootm";

bool write_all(int fd, const void* data, size_t len, off_t at)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (len > 0) {
        ssize_t n = ::pwrite(fd, p, len, at);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

bool write_file(const std::string& path, const std::string& text)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, text.data(), text.size(), 0);
    return ::close(fd) == 0 && ok;
}

bool make_dirs(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string prefix = path.substr(0, i);
            if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

// Deterministic firmware bytes: the same camera every time.
std::vector<uint8_t> firmware(const char* name, uint64_t size)
{
    std::vector<uint8_t> data(size);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (const char* p = name; *p; ++p)
        x = (x ^ static_cast<uint8_t>(*p)) * 0x100000001B3ull;
    for (uint64_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        memcpy(data.data() + i, &x, std::min<uint64_t>(8, size - i));
    }
    char tag[64];
    int n = snprintf(tag, sizeof(tag), "factory %s 1.7.0.73", name);
    memcpy(data.data(), tag, static_cast<size_t>(n));
    return data;
}

std::string record(const char* name, uint32_t ver, uint32_t size, uint32_t date)
{
    char text[128];
    snprintf(text, sizeof(text), "name:%s\tver:0x%08x\tsize:%u\tdate:0x%08x ", name, ver, size, date);
    return text;
}

std::string size_text(uint64_t size)
{
    return size % MiB == 0 ? std::to_string(size / MiB) + "M" : std::to_string(size / KiB) + "K";
}

// One environment copy as the boot loader keeps it: CRC, counter flag, the variables.
std::vector<uint8_t> env_copy(const std::vector<std::string>& vars, uint8_t flag)
{
    std::vector<uint8_t> copy(env_copy_size, 0);
    size_t at = 5;
    for (const auto& v : vars) {
        memcpy(copy.data() + at, v.data(), v.size());
        at += v.size() + 1;
    }
    copy[4] = flag;
    uint32_t crc = crc32(0, copy.data() + 5, env_copy_size - 5);
    for (int i = 0; i < 4; ++i)
        copy[static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
    return copy;
}

// The programmed bitmap's bits (one a sub-page) for the first `bytes` bytes of a device.
void mark_programmed(std::vector<uint8_t>& map, uint64_t bytes)
{
    constexpr uint32_t sub = subpage_size(page);
    for (uint64_t p = 0; p < (bytes + sub - 1) / sub; ++p)
        map[p / 8] |= static_cast<uint8_t>(1u << (p % 8));
}

int fail(const std::string& what)
{
    fprintf(stderr, "camsim: %s: %s\n", what.c_str(), strerror(errno));
    return -1;
}

// ---- the boot loader's own readers

bool read_range(const std::string& path, std::vector<uint8_t>& out, uint64_t len)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out.assign(len, 0xFF);
    ssize_t n = ::pread(fd, out.data(), len, 0);
    ::close(fd);
    return n == static_cast<ssize_t>(len);
}

const MtdDev* by_name(const std::vector<MtdDev>& mtds, const std::string& name)
{
    for (const auto& d : mtds)
        if (d.name == name)
            return &d;
    return nullptr;
}

struct EnvCopy {
    bool good = false;
    uint8_t flag = 0;
    std::vector<uint8_t> bytes;
};

EnvCopy load_copy(const std::string& root, const MtdDev* d)
{
    EnvCopy c;
    if (!d || d->is_bad(0) || d->size < env_copy_size ||
        !read_range(root + "/dev/mtd" + std::to_string(d->number), c.bytes, env_copy_size))
        return c;
    uint32_t stored = 0;
    for (int i = 0; i < 4; ++i)
        stored |= static_cast<uint32_t>(c.bytes[static_cast<size_t>(i)]) << (8 * i);
    c.good = crc32(0, c.bytes.data() + 5, env_copy_size - 5) == stored;
    c.flag = c.bytes[4];
    return c;
}

// The copy the boot loader uses: CRC first, then the flags (counters on NAND, active/obsolete
// on NOR). -1 when neither copy is intact.
int pick_copy(const EnvCopy& a, const EnvCopy& b, bool nand)
{
    if (a.good != b.good)
        return a.good ? 0 : 1;
    if (!a.good)
        return -1;
    if (nand) {
        if ((a.flag == 0xFF && b.flag == 0) || b.flag > a.flag)
            return 1;
        return 0;
    }
    if (a.flag == 1 && b.flag == 0)
        return 0;
    if (a.flag == 0 && b.flag == 1)
        return 1;
    if (a.flag == b.flag || a.flag == 0xFF)
        return 0;
    return b.flag == 0xFF ? 1 : 0;
}

std::string lookup(const std::vector<uint8_t>& copy, const std::string& name)
{
    size_t at = 5;
    while (at < copy.size() && copy[at] != 0) {
        size_t end = at;
        while (end < copy.size() && copy[end] != 0)
            ++end;
        std::string entry(reinterpret_cast<const char*>(copy.data() + at), end - at);
        if (entry.compare(0, name.size() + 1, name + "=") == 0)
            return entry.substr(name.size() + 1);
        at = end + 1;
    }
    return {};
}

// The size field of a PartitionRecord text; 0 when it has none.
uint32_t record_size(const std::string& text)
{
    char name[32] = "";
    unsigned ver = 0, size = 0, date = 0;
    if (sscanf(text.c_str(), "name:%31s ver:0x%8x size:%u date:0x%8x", name, &ver, &size, &date) < 3)
        return 0;
    return size;
}

// CRC-32 of the first `size` bytes of a partition, read past bad blocks as the kernel loader
// does.
uint32_t partition_crc(const std::string& root, const MtdDev& d, uint32_t size)
{
    int fd = ::open((root + "/dev/mtd" + std::to_string(d.number)).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    uint32_t crc = 0;
    std::vector<uint8_t> buf(d.erasesize);
    uint64_t left = size;
    for (uint64_t b = 0; left > 0 && b < d.size / d.erasesize; ++b) {
        if (d.nand && d.is_bad(b))
            continue;
        size_t len = static_cast<size_t>(std::min<uint64_t>(left, d.erasesize));
        ssize_t n = ::pread(fd, buf.data(), len, static_cast<off_t>(b * d.erasesize));
        if (n != static_cast<ssize_t>(len))
            break;
        crc = crc32(crc, buf.data(), len);
        left -= len;
    }
    ::close(fd);
    return crc;
}

// The partition name that follows `key` in text, up to a blank, comma or semicolon.
std::string word_after(const std::string& text, const std::string& key)
{
    size_t at = text.find(key);
    if (at == std::string::npos)
        return {};
    at += key.size();
    size_t end = text.find_first_of(" \t,;", at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace

int camsim_init(const std::string& root_arg, bool small)
{
    std::string root = root_arg;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    for (const char* dir : {"", "/dev", "/dev/shm", "/proc", "/sim", "/tmp", "/mnt/nand", "/opt/app/libs"})
        if (!make_dirs(root + dir))
            return fail(root + dir);
    // Leftovers of an earlier life of this camera.
    for (const char* name : {"counters", "shell.log", "watchdog.log", "syslog", "faults", "signals", "pid"})
        ::unlink((root + "/sim/" + name).c_str());
    if (DIR* dir = ::opendir((root + "/sim").c_str())) {
        while (dirent* e = ::readdir(dir))
            if (strncmp(e->d_name, "pages.mtd", 9) == 0)
                ::unlink((root + "/sim/" + e->d_name).c_str());
        ::closedir(dir);
    }

    std::string conf = "# mtdN NAME SIZE ERASESIZE WRITESIZE OOBSIZE TYPE [bad=I,J,...]\n";
    std::string proc_mtd = "dev:    size   erasesize  name\n";
    std::string mtdparts = "mtdparts=hinand:";
    uint64_t sizes[std::size(layout)];
    for (size_t i = 0; i < std::size(layout); ++i) {
        sizes[i] = small ? layout[i].small_size : layout[i].size;
        char line[160];
        snprintf(line, sizeof(line), "mtd%zu %s 0x%" PRIx64 " 0x%x %u %u nand\n", i, layout[i].name, sizes[i], block,
                 page, oob);
        conf += line;
        snprintf(line, sizeof(line), "mtd%zu: %08" PRIx64 " %08x \"%s\"\n", i, sizes[i], block, layout[i].name);
        proc_mtd += line;
        mtdparts += (i ? "," : "") + size_text(sizes[i]) + "(" + layout[i].name + ")";
    }
    if (!write_file(root + "/flash.conf", conf) || !write_file(root + "/proc/mtd", proc_mtd))
        return fail(root);

    // Factory firmware: boot loader, and bank 1's kernel and root filesystem.
    const uint32_t uboot_size = static_cast<uint32_t>(small ? 128 * KiB : 256 * KiB);
    const uint32_t ker_size = static_cast<uint32_t>(small ? 512 * KiB : 2 * MiB);
    const uint32_t fs_size = static_cast<uint32_t>(small ? 1 * MiB : 16 * MiB);
    const std::string ker_len = small ? "0x100000" : "0x800000";
    const std::string bootargs = "mem=64M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rootfstype=ubifs rw " +
                                 mtdparts;
    std::vector<std::string> vars = {
        "bootargs=" + bootargs,
        "bootcmd=nand read 0x42000000 ker1 " + ker_len + "; bootm 0x42000000",
        "bootdelay=1",
        "baudrate=115200",
        "bootfile=uImage",
        "ethaddr=00:1c:27:5a:3e:11",
        "ipaddr=192.168.1.88",
        "serverip=192.168.1.100",
        "gateway=192.168.1.1",
        "netmask=255.255.255.0",
        "sn=QV21031500017",
        "stdin=serial",
        "stdout=serial",
        "stderr=serial",
        "uboot=" + record("uboot", factory_version, uboot_size, factory_date),
        "ker1=" + record("ker1", factory_version, ker_size, factory_date),
        "ker2=" + record("ker2", 0, 0, 0),
        "fs1=" + record("fs1", factory_version, fs_size, factory_date),
        "fs2=" + record("fs2", 0, 0, 0),
    };
    // Saved once: the copy in use (0) carries the higher counter.
    std::vector<uint8_t> copies[2] = {env_copy(vars, 2), env_copy(vars, 1)};

    std::vector<uint8_t> erased(MiB, 0xFF);
    for (size_t i = 0; i < std::size(layout); ++i) {
        std::string path = root + "/dev/mtd" + std::to_string(i);
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return fail(path);
        bool ok = true;
        for (uint64_t at = 0; ok && at < sizes[i]; at += erased.size())
            ok = write_all(fd, erased.data(), std::min<uint64_t>(erased.size(), sizes[i] - at), static_cast<off_t>(at));
        std::vector<uint8_t> data;
        std::string name = layout[i].name;
        if (name == "uboot")
            data = firmware("uboot", uboot_size);
        else if (name == "ker1")
            data = firmware("ker1", ker_size);
        else if (name == "fs1")
            data = firmware("fs1", fs_size);
        else if (name == "env1" || name == "env2")
            data = copies[name == "env1" ? 0 : 1];
        if (ok && !data.empty())
            ok = write_all(fd, data.data(), data.size(), 0);
        if (::close(fd) != 0 || !ok)
            return fail(path);
        // Pages the factory programmed; the environment writer programs its whole unit.
        uint64_t programmed = data.empty() ? 0 : (name == "env1" || name == "env2" ? env_unit_size : data.size());
        std::vector<uint8_t> map((sizes[i] / subpage_size(page) + 7) / 8, 0);
        mark_programmed(map, programmed);
        if (!write_file(root + "/sim/pages.mtd" + std::to_string(i), std::string(map.begin(), map.end())))
            return fail(root + "/sim");
    }

    std::string eeprom(256, '\xFF');
    memcpy(eeprom.data(), product_code, 32);
    std::string proc_pid = root + "/proc/" + qvserver_pid;
    bool ok = write_file(root + "/proc/cmdline", bootargs + "\n") && write_file(root + "/dev/i2c-3", eeprom) &&
              write_file(root + "/dev/watchdog", "") && write_file(root + "/dev/mem", "") &&
              write_file(root + "/sim/mdio", "0x001c\n") && write_file(root + "/tmp/sensor_type", "imx327\n") &&
              write_file(root + "/tmp/codec_type", "codec_internal\n") &&
              write_file(root + "/tmp/qvserver", std::string(qvserver_pid) + "\n") && make_dirs(proc_pid) &&
              write_file(proc_pid + "/cmdline", std::string("/opt/app/qvserver\0", 18)) &&
              write_file(root + "/proc/uptime", "86.42 160.11\n");
    return ok ? 0 : fail(root);
}

int camsim_boot(const std::string& root)
{
    std::vector<MtdDev> mtds = load_flash_conf(root);
    const MtdDev* env[2] = {by_name(mtds, "env1"), by_name(mtds, "env2")};
    if (!env[0] || !env[1]) {
        fprintf(stderr, "camsim: %s/flash.conf lists no env1 and env2\n", root.c_str());
        return 2;
    }
    EnvCopy copies[2] = {load_copy(root, env[0]), load_copy(root, env[1])};
    int used = pick_copy(copies[0], copies[1], env[0]->nand && env[1]->nand);
    std::string bootcmd, bootargs;
    std::vector<uint8_t> none;
    const std::vector<uint8_t>& vars = used < 0 ? none : copies[used].bytes;
    if (used < 0) {
        printf("environment default\n");
        bootcmd = default_bootcmd;
    } else {
        printf("environment copy %d\n", used);
        bootcmd = lookup(vars, "bootcmd");
        bootargs = lookup(vars, "bootargs");
    }

    // The kernel is the partition named after the first "ker" of the boot command; the root
    // filesystem is the UBI device the boot arguments hand to the kernel.
    std::string kernel;
    size_t k = bootcmd.find("ker");
    if (k != std::string::npos && k + 3 < bootcmd.size() && isdigit(static_cast<unsigned char>(bootcmd[k + 3])))
        kernel = bootcmd.substr(k, 4);
    std::string rootfs = word_after(bootargs, "ubi.mtd=");

    auto report = [&](const char* what, const std::string& name) -> char {
        const MtdDev* d = name.empty() ? nullptr : by_name(mtds, name);
        if (!d) {
            printf("%s none\n", what);
            return 0;
        }
        uint32_t size = used < 0 ? 0 : record_size(lookup(vars, name));
        printf("%s %s size %u crc32 0x%08x\n", what, name.c_str(), size, partition_crc(root, *d, size));
        return name.back();
    };
    char kernel_bank = report("kernel", kernel);
    char rootfs_bank = report("rootfs", rootfs);
    bool same = kernel_bank != 0 && kernel_bank == rootfs_bank && (kernel_bank == '1' || kernel_bank == '2');
    if (same)
        printf("bank %c\n", kernel_bank);
    else
        printf("bank none\n");
    fflush(stdout);
    if (!write_file(root + "/proc/cmdline", bootargs + "\n")) {
        fail(root + "/proc/cmdline");
        return 2;
    }
    return same ? 0 : 1;
}

int camsim_stats(const std::string& root)
{
    std::vector<MtdDev> mtds = load_flash_conf(root);
    if (mtds.empty()) {
        fprintf(stderr, "camsim: %s/flash.conf lists no devices\n", root.c_str());
        return 2;
    }
    Counters all[max_mtd] = {};
    int fd = ::open((root + "/sim/counters").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = ::pread(fd, all, sizeof(all), 0);
        (void)n;  // a short file leaves the rest at zero
        ::close(fd);
    }
    for (const auto& d : mtds) {
        const Counters& c = all[d.number];
        printf("mtd%d %s erased=%" PRIu64 " programmed=%" PRIu64 " read=%" PRIu64
               " program_without_erase=%" PRIu64 " bad_block_writes=%" PRIu64 "\n",
               d.number, d.name.c_str(), c.erased, c.programmed, c.read, c.reprogrammed, c.bad_writes);
    }
    return 0;
}
