// mkupgrade: packs component files into an UpgradeImage.
//
//   mkupgrade [--version A.B.C.D] [--date YYYY-MM-DD] [--ai-mask MASK] -o OUT SLOT=FILE[@A.B.C.D]...
//
// Every entry is named and carries a version (the slot's own, else --version, else 0.0.0.0);
// present components follow the header back to back in slot order, each padded with 0xFF to
// its slot's unit, with the CRC-32 taken over the padded data. An empty file gives an entry
// without data. On any error nothing is left at OUT: the image is built in a temporary file
// beside it and renamed into place only when complete.
#include "common/crc32.h"
#include "update/image/image.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int EXIT_USAGE = 2;
constexpr uint64_t OFFSET_LIMIT = uint64_t{1} << 32;  // an image may not reach past 32-bit offsets

struct Component {
    bool given = false;
    std::string file;
    std::optional<uint32_t> version;
    int fd = -1;
    uint64_t length = 0;
    uint64_t padded = 0;
};

struct Options {
    uint32_t version = 0;
    std::optional<uint32_t> date;
    uint64_t ai_mask = 0;
    std::string out;
    std::array<Component, COMPONENT_COUNT> slots;
};

__attribute__((format(printf, 1, 2))) int complain(const char* format, ...)
{
    fprintf(stderr, "mkupgrade: ");
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fprintf(stderr, "\n");
    return EXIT_USAGE;
}

void usage()
{
    fprintf(stderr,
            "usage: mkupgrade [--version A.B.C.D] [--date YYYY-MM-DD] [--ai-mask MASK] -o OUT "
            "SLOT=FILE[@A.B.C.D]...\n"
            "  SLOT: cmd, bld, ker, fs, tool, bld2\n");
}

bool all_digits(const std::string& s, size_t from, size_t count)
{
    if (from + count > s.size())
        return false;
    for (size_t i = from; i < from + count; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

std::optional<uint32_t> parse_version(const std::string& text)
{
    uint32_t value = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        size_t digits = 0;
        unsigned number = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            number = number * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || number > 255)
            return std::nullopt;
        value = value << 8 | number;
        if (part < 3) {
            if (pos >= text.size() || text[pos] != '.')
                return std::nullopt;
            ++pos;
        }
    }
    if (pos != text.size())
        return std::nullopt;
    return value;
}

bool leap_year(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::optional<uint32_t> pack_date(unsigned year, unsigned month, unsigned day)
{
    constexpr std::array<unsigned, 12> month_days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || year > 9999 || month < 1 || month > 12)
        return std::nullopt;
    unsigned last = month_days[month - 1] + (month == 2 && leap_year(year) ? 1 : 0);
    if (day < 1 || day > last)
        return std::nullopt;
    return year << 16 | month << 8 | day;
}

std::optional<uint32_t> parse_date(const std::string& text)
{
    if (text.size() != 10 || !all_digits(text, 0, 4) || text[4] != '-' || !all_digits(text, 5, 2) ||
        text[7] != '-' || !all_digits(text, 8, 2))
        return std::nullopt;
    return pack_date(static_cast<unsigned>(std::stoi(text.substr(0, 4))),
                     static_cast<unsigned>(std::stoi(text.substr(5, 2))),
                     static_cast<unsigned>(std::stoi(text.substr(8, 2))));
}

std::optional<uint32_t> date_of_time(time_t t)
{
    struct tm tm;
    if (gmtime_r(&t, &tm) == nullptr)
        return std::nullopt;
    return pack_date(static_cast<unsigned>(tm.tm_year + 1900), static_cast<unsigned>(tm.tm_mon + 1),
                     static_cast<unsigned>(tm.tm_mday));
}

// Decimal or 0x-hexadecimal, 64 bits; nothing else (no sign, no octal, no trailing text).
std::optional<uint64_t> parse_mask(const std::string& text)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    size_t start = hex ? 2 : 0;
    if (start >= text.size())
        return std::nullopt;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        bool ok = (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
        if (!ok)
            return std::nullopt;
    }
    errno = 0;
    unsigned long long value = strtoull(text.c_str() + start, nullptr, hex ? 16 : 10);
    if (errno == ERANGE)
        return std::nullopt;
    return value;
}

int slot_index(const std::string& name)
{
    for (int i = 0; i < COMPONENT_COUNT; ++i)
        if (component_slots[static_cast<size_t>(i)].name == name)
            return i;
    return -1;
}

int parse_component(const std::string& arg, Options& opts)
{
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq + 1 == arg.size())
        return complain("'%s' is not SLOT=FILE[@A.B.C.D]", arg.c_str());
    std::string slot = arg.substr(0, eq);
    int index = slot_index(slot);
    if (index < 0)
        return complain("unknown slot '%s' (slots: cmd, bld, ker, fs, tool, bld2)", slot.c_str());
    Component& c = opts.slots[static_cast<size_t>(index)];
    if (c.given)
        return complain("slot '%s' given twice", slot.c_str());
    c.given = true;
    c.file = arg.substr(eq + 1);
    if (size_t at = c.file.rfind('@'); at != std::string::npos) {
        std::string version = c.file.substr(at + 1);
        c.version = parse_version(version);
        if (!c.version)
            return complain("malformed version '%s' (want A.B.C.D, each 0 to 255)", version.c_str());
        c.file.resize(at);
        if (c.file.empty())
            return complain("'%s' is not SLOT=FILE[@A.B.C.D]", arg.c_str());
    }
    return 0;
}

int parse_options(int argc, char** argv, Options& opts)
{
    enum { OPT_VERSION = 256, OPT_DATE, OPT_AI_MASK };
    static const option long_options[] = {
        {"version", required_argument, nullptr, OPT_VERSION},
        {"date", required_argument, nullptr, OPT_DATE},
        {"ai-mask", required_argument, nullptr, OPT_AI_MASK},
        {nullptr, 0, nullptr, 0},
    };
    for (int id; (id = getopt_long(argc, argv, "o:", long_options, nullptr)) != -1;) {
        switch (id) {
        case OPT_VERSION:
            if (auto v = parse_version(optarg))
                opts.version = *v;
            else
                return complain("malformed version '%s' (want A.B.C.D, each 0 to 255)", optarg);
            break;
        case OPT_DATE:
            opts.date = parse_date(optarg);
            if (!opts.date)
                return complain("malformed date '%s' (want a calendar date YYYY-MM-DD)", optarg);
            break;
        case OPT_AI_MASK:
            if (auto m = parse_mask(optarg))
                opts.ai_mask = *m;
            else
                return complain("malformed AI mask '%s' (want decimal or 0x-hexadecimal, 64 bits)", optarg);
            break;
        case 'o':
            opts.out = optarg;
            break;
        default:
            usage();
            return EXIT_USAGE;
        }
    }
    if (opts.out.empty()) {
        usage();
        return EXIT_USAGE;
    }
    for (int i = optind; i < argc; ++i)
        if (int rc = parse_component(argv[i], opts); rc != 0)
            return rc;
    if (!opts.date) {
        if (const char* epoch = getenv("SOURCE_DATE_EPOCH")) {
            std::string text = epoch;
            if (text.empty() || !all_digits(text, 0, text.size()) || text.size() > 15)
                return complain("malformed date '%s' in SOURCE_DATE_EPOCH (want seconds since 1970)", text.c_str());
            opts.date = date_of_time(static_cast<time_t>(std::stoll(text)));
        } else {
            opts.date = date_of_time(time(nullptr));
        }
        if (!opts.date)
            return complain("cannot tell today's date");
    }
    return 0;
}

uint64_t padded_length(uint64_t length, uint32_t unit) { return (length + unit - 1) / unit * unit; }

int open_components(Options& opts)
{
    uint64_t end = IMAGE_HEADER_SIZE;
    for (size_t i = 0; i < opts.slots.size(); ++i) {
        Component& c = opts.slots[i];
        if (!c.given)
            continue;
        c.fd = open(c.file.c_str(), O_RDONLY | O_CLOEXEC);
        if (c.fd < 0)
            return complain("cannot read '%s': %s", c.file.c_str(), strerror(errno));
        struct stat st;
        if (fstat(c.fd, &st) != 0)
            return complain("cannot read '%s': %s", c.file.c_str(), strerror(errno));
        if (!S_ISREG(st.st_mode))
            return complain("cannot read '%s': %s", c.file.c_str(), "not a regular file");
        c.length = static_cast<uint64_t>(st.st_size);
        c.padded = padded_length(c.length, component_slots[i].padding_unit);
        end += c.padded;
    }
    if (end > OFFSET_LIMIT)
        return complain("components too large: the image would be %llu bytes, past what 32-bit offsets reach",
                        static_cast<unsigned long long>(end));
    return 0;
}

bool write_all(int fd, const void* data, size_t count)
{
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t n = write(fd, p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Streams one component into the image: its bytes, then 0xFF up to its padded length.
int copy_component(int out, const std::string& out_path, const Component& c, uint32_t* crc)
{
    std::array<uint8_t, 65536> buf;
    uint32_t sum = 0;
    uint64_t copied = 0;
    for (;;) {
        ssize_t n = read(c.fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return complain("cannot read '%s': %s", c.file.c_str(), strerror(errno));
        if (n == 0)
            break;
        copied += static_cast<uint64_t>(n);
        if (copied > c.length)
            break;
        sum = crc32(sum, buf.data(), static_cast<size_t>(n));
        if (!write_all(out, buf.data(), static_cast<size_t>(n)))
            return complain("cannot write '%s': %s", out_path.c_str(), strerror(errno));
    }
    if (copied != c.length)
        return complain("cannot read '%s': %s", c.file.c_str(), "it changed size while being packed");
    buf.fill(0xFF);
    for (uint64_t left = c.padded - c.length; left > 0;) {
        size_t n = left < buf.size() ? static_cast<size_t>(left) : buf.size();
        sum = crc32(sum, buf.data(), n);
        if (!write_all(out, buf.data(), n))
            return complain("cannot write '%s': %s", out_path.c_str(), strerror(errno));
        left -= n;
    }
    *crc = sum;
    return 0;
}

int write_image(int out, const std::string& out_path, const Options& opts)
{
    ImageHeader header;
    memset(&header, 0, sizeof header);
    if (!write_all(out, &header, sizeof header))
        return complain("cannot write '%s': %s", out_path.c_str(), strerror(errno));
    uint64_t offset = IMAGE_HEADER_SIZE;
    for (size_t i = 0; i < opts.slots.size(); ++i) {
        const Component& c = opts.slots[i];
        ComponentEntry& e = header.entries[i];
        memcpy(e.name, component_slots[i].name.data(), component_slots[i].name.size());
        e.version = c.version.value_or(opts.version);
        if (!c.given || c.padded == 0)
            continue;
        e.offset = static_cast<uint32_t>(offset);
        e.size = static_cast<uint32_t>(c.padded);
        e.date = *opts.date;
        if (int rc = copy_component(out, out_path, c, &e.crc32); rc != 0)
            return rc;
        offset += c.padded;
    }
    header.ai_mask_lo = static_cast<uint32_t>(opts.ai_mask);
    header.ai_mask_hi = static_cast<uint32_t>(opts.ai_mask >> 32);
    if (pwrite(out, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
        return complain("cannot write '%s': %s", out_path.c_str(), strerror(errno));
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(out, 0666 & ~mask) != 0)
        return complain("cannot write '%s': %s", out_path.c_str(), strerror(errno));
    return 0;
}

int pack(const Options& opts)
{
    std::string temp = opts.out + ".XXXXXX";
    int out = mkstemp(temp.data());
    if (out < 0)
        return complain("cannot write '%s': %s", opts.out.c_str(), strerror(errno));
    int rc = write_image(out, opts.out, opts);
    if (close(out) != 0 && rc == 0)
        rc = complain("cannot write '%s': %s", opts.out.c_str(), strerror(errno));
    if (rc == 0 && rename(temp.c_str(), opts.out.c_str()) != 0)
        rc = complain("cannot write '%s': %s", opts.out.c_str(), strerror(errno));
    if (rc != 0)
        unlink(temp.c_str());
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opts;
    int rc = parse_options(argc, argv, opts);
    if (rc == 0)
        rc = open_components(opts);
    if (rc == 0)
        rc = pack(opts);
    for (const Component& c : opts.slots)
        if (c.fd >= 0)
            close(c.fd);
    return rc;
}
