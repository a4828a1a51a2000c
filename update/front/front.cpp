// The update command line and the fixed order of one run.
#include "update/front/front.h"

#include "common/shell.h"
#include "common/unique_fd.h"
#include "platform/platform.h"
#include "update/compat/compat.h"
#include "update/env/env.h"
#include "update/image/image.h"
#include "update/upgrade/upgrade.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

namespace {

// What an option does when the parser reports it.
enum class Act : uint8_t {
    help,
    version,
    show,
    upfw,
    analysis,
    list,
    system,  // switch_system with the number
    store,   // the argument (through its buffer, if any) under the option's key
    delay,   // the number's low 8 bits under the option's key
    number,  // read the number, nothing more
};

// Where an argument is kept before it is stored; a buffer cuts it to its length.
enum class Buf : uint8_t { none, sn, boot_text, boot_file };

struct OptionRow {
    const char* name;
    int id;  // the short letter, or a code that is no letter
    bool has_arg;
    const char* label;
    const char* help;
    Act act;
    const char* key;
    Buf buf;
    const char* failure;
};

constexpr std::array<OptionRow, 25> option_table{{
    {"help", 0, false, "", "display this help and exit", Act::help, nullptr, Buf::none, nullptr},
    {"version", 'v', false, "", "output version information and exit", Act::version, nullptr, Buf::none, nullptr},
    {"show", 2, false, "", "Show Quovera uboot information ", Act::show, nullptr, Buf::none, nullptr},
    {"upfw", 'u', false, "", "Update Quovera upgrade images", Act::upfw, nullptr, Buf::none, nullptr},
    {"analysis", 'a', false, "", "Analysis Quovera upgrade images", Act::analysis, nullptr, Buf::none, nullptr},
    {"list", 'l', false, "", "List upgrade image information", Act::list, nullptr, Buf::none, nullptr},
    {"system", 'S', true, "id", "Switch Quovera System", Act::system, nullptr, Buf::none,
     "switch system faild.\n"},
    {"sn", 'N', true, "sn", "Update Quovera uboot SN ", Act::store, "sn", Buf::sn, "update sn faild.\n"},
    {"cmdline", 'C', true, "str", "Update Quovera uboot cmdline ", Act::store, "bootargs", Buf::boot_text,
     "update cmdline faild.\n"},
    {"bootargs", 3, true, "str", "Update Quovera uboot bootargs ", Act::store, "bootargs", Buf::boot_text,
     "update bootargs failed. \n"},
    {"bootcmd", 4, true, "str", "Update Quovera uboot bootcmd ", Act::store, "bootcmd", Buf::boot_text,
     "update bootcmd failed. \n"},
    {"delay", 'D', true, "digit", "Update Quovera uboot bootdelay ", Act::delay, "bootdelay", Buf::none,
     "update bootdelay faild.\n"},
    {"auto_boot", 6, true, "digit", "Update Quovera uboot load linux from nandflash or no ", Act::number,
     nullptr, Buf::none, nullptr},
    {"auto_dl", 5, true, "digit", "Update Quovera uboot load linux from network or no ", Act::number, nullptr,
     Buf::none, nullptr},
    {"pri_addr", 7, true, "hex", "Update Quovera uboot pri_addr ", Act::number, nullptr, Buf::none, nullptr},
    {"pri_file", 8, true, "str", "Update Quovera updated file name(32bytes) ", Act::store, "bootfile",
     Buf::boot_file, "update pri_file faild.\n"},
    {"serverip", 20, true, "ip", "Update Quovera uboot tftpd server ip ", Act::store, "serverip", Buf::none,
     "update tftpd ip address faild.\n"},
    {"eth0_mac", 'E', true, "MAC", "Update Quovera uboot eth0 MAC ", Act::store, "ethaddr", Buf::none,
     "update eth0 mac faild.\n"},
    {"eth0_ip", 22, true, "ip", "Update Quovera uboot eth0 lan ip ", Act::store, "ipaddr", Buf::none,
     "update eth0 ip address faild.\n"},
    {"eth0_mask", 23, true, "ip", "Update Quovera uboot eth0 lan mask ", Act::store, "netmask", Buf::none,
     "update eth0 netmask faild.\n"},
    {"eth0_gw", 24, true, "ip", "Update Quovera uboot eth0 lan gw ", Act::store, "gateway", Buf::none,
     "update eth0 gateway faild.\n"},
    {"wifi0_mac", 'W', true, "MAC", "Update Quovera uboot wifi0 MAC ", Act::store, "wifimac", Buf::none,
     "update wifi0 mac faild.\n"},
    {"wifi0_ip", 26, true, "ip", "Update Quovera uboot wifi0 ip ", Act::store, "wifiip", Buf::none,
     "update wifi0 ip address faild.\n"},
    {"wifi0_mask", 27, true, "ip", "Update Quovera uboot wifi0 mask", Act::store, "wifinm", Buf::none,
     "update wifi0 netmask faild.\n"},
    {"wifi0_gw", 28, true, "ip", "Update Quovera uboot wifi0 gw ", Act::store, "wifigw", Buf::none,
     "update wifi0 gateway faild.\n"},
}};

constexpr const char* short_options = "?vualS:N:C:D:E:W:";

constexpr std::array<option, option_table.size() + 1> long_options = [] {
    std::array<option, option_table.size() + 1> opts{};
    for (size_t i = 0; i < option_table.size(); ++i)
        opts[i] = {option_table[i].name, option_table[i].has_arg ? required_argument : no_argument, nullptr,
                   option_table[i].id};
    return opts;
}();

constexpr std::array<const char*, 14> result_messages{
    "update success!",
    "update faild!",
    "verify update firmware faild!",
    "analysis update firmware faild!",
    "update ptb partition faild!",
    "update bld partition faild!",
    "update hal partition faild!",
    "update dsp partition faild!",
    "update kernel partition faild!",
    "update filesys partition faild!",
    "update cmdline faild!",
    "kernel 1 version mismatch!",
    "kernel 2 version mismatch!",
    "ddr dismatch!",
};

bool update_flag;
bool analysis_flag;
bool listing_flag;
char image_path[IMAGE_PATH_SIZE] = "/dev/shm/updateFM.bin";
// Each keeps its cut argument and a terminator.
char sn_buffer[32 + 1];
char boot_text[512 + 1];
char boot_file[32 + 1];

bool is_letter(int id) { return (id >= 'A' && id <= 'Z') || (id >= 'a' && id <= 'z'); }

const OptionRow* find_option(int id)
{
    for (const OptionRow& row : option_table)
        if (row.id == id)
            return &row;
    return nullptr;
}

// A number as the camera's 32-bit strtoul reads it with base 0: a magnitude beyond 32 bits
// gives the largest value (it does not wrap into a small one), a '-' negates modulo 2^32.
uint32_t read_number(const char* text)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if (*p < '0' || *p > '9')
        return 0;
    errno = 0;
    unsigned long long magnitude = strtoull(p, nullptr, 0);
    if (errno == ERANGE || magnitude > UINT32_MAX)
        return UINT32_MAX;
    uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

char* buffer_of(Buf buf, size_t* size)
{
    switch (buf) {
    case Buf::sn:
        *size = sizeof sn_buffer;
        return sn_buffer;
    case Buf::boot_text:
        *size = sizeof boot_text;
        return boot_text;
    case Buf::boot_file:
        *size = sizeof boot_file;
        return boot_file;
    case Buf::none:
        break;
    }
    *size = 0;
    return nullptr;
}

// Carries out one option that takes effect at once. 0, or non-zero when it failed.
int run_option(const OptionRow& row, const char* arg)
{
    switch (row.act) {
    case Act::help:
        printf("Quovera update version: %s\n", UPFW_VERSION);
        upfw_show_usage();
        return 0;
    case Act::version:
        show_version();
        return 0;
    case Act::show:
        show_info();
        return 0;
    case Act::upfw:
        update_flag = true;
        return 0;
    case Act::analysis:
        analysis_flag = true;
        return 0;
    case Act::list:
        listing_flag = true;
        return 0;
    case Act::system:
        return switch_system(read_number(arg));
    case Act::store: {
        size_t size = 0;
        if (char* buf = buffer_of(row.buf, &size)) {
            snprintf(buf, size, "%s", arg);
            arg = buf;
        }
        return env_store_set(row.key, arg);
    }
    case Act::delay: {
        char digits[4];
        snprintf(digits, sizeof digits, "%u", read_number(arg) & 0xFFu);
        return env_store_set(row.key, digits);
    }
    case Act::number:
        read_number(arg);
        return 0;
    }
    return 0;
}

}  // namespace

void upfw_show_usage()
{
    printf("Usage:\n  update [OPTION] upfw_file \n  Writes to the specified MTD device.\n\n");
    for (const OptionRow& row : option_table) {
        if (is_letter(row.id))
            printf("-%c ", row.id);
        else
            printf("   ");
        printf("--%s", row.name);
        if (row.label[0] != '\0')
            printf(" [%s]", row.label);
        printf("\t%s\n", row.help);
    }
    printf("\n");
}

int upfw_parse_args(int argc, char** argv)
{
    bool error = false;
    for (;;) {
        int id = getopt_long(argc, argv, short_options, long_options.data(), nullptr);
        if (id == -1)
            break;
        const OptionRow* row = find_option(id);
        if (row == nullptr) {
            fprintf(stderr, "Error: Unknow option\n");
            error = true;
            break;
        }
        if (run_option(*row, optarg) != 0) {
            fprintf(stderr, "%s", row->failure);
            error = true;
        }
    }
    if (!error && argc - optind == 1) {
        const char* path = argv[optind];
        // A path cut to fit could name another file that exists.
        if (strlen(path) >= sizeof image_path) {
            fprintf(stderr, "Error: image path too long\n");
            error = true;
        } else {
            snprintf(image_path, sizeof image_path, "%s", path);
        }
    }
    if (error) {
        upfw_show_usage();
        return -1;
    }
    return 0;
}

void upfw_result_message(int32_t code, char* out, size_t size)
{
    if (code <= 0 && code > -static_cast<int32_t>(result_messages.size()))
        snprintf(out, size, "%s\n", result_messages[static_cast<size_t>(-code)]);
    else
        snprintf(out, size, "ErrCode(0x%08x) \n", static_cast<uint32_t>(code));
}

int upfw_write_result(int32_t code, const char* message)
{
    UniqueFd log(pf_open(RESULT_LOG_PATH, O_RDWR | O_CREAT | O_TRUNC, 0666));
    if (log.get() < 0) {
        perror("open /mnt/nand/upfw.log");
        return -1;
    }
    char block[RESULT_BLOCK_SIZE] = {};
    snprintf(block, sizeof block, "%d\n", code);
    errno = 0;  // a short write sets no error of its own
    if (pf_write(log.get(), block, sizeof block) != static_cast<ssize_t>(sizeof block)) {
        perror("write /mnt/nand/upfw.log");
        return -1;
    }
    fprintf(stderr, "%s", message);
    memset(block, 0, sizeof block);
    snprintf(block, sizeof block, "%s", message);
    errno = 0;
    ssize_t written = pf_write(log.get(), block, sizeof block);
    if (written != static_cast<ssize_t>(sizeof block)) {
        perror("write upfw.log");
        return -1;
    }
    return static_cast<int>(written);
}

int upfw_main(int argc, char** argv)
{
    env_store_open();  // the operations that need the environment report its failures
    if (upfw_parse_args(argc, argv) != 0)
        return -1;

    char message[RESULT_BLOCK_SIZE] = {};
    if (analysis_flag || update_flag) {
        int code = upfw_check_compat(image_path, message);
        if (code != 0) {
            upfw_write_result(code, message);
            return code;
        }
    }
    if (listing_flag) {
        printf("List upfw %s infomation.\n", image_path);
        int code = image_list_info(image_path);
        if (code != 0) {
            fprintf(stderr, "List upfw %s infomation failed!\n", image_path);
            return code;
        }
    }
    if (analysis_flag) {
        printf("Analysis image %s \n", image_path);
        int code = image_analysis(image_path);
        if (code != 0) {
            snprintf(message, sizeof message, "Analysis %s faild!\n", image_path);
            upfw_write_result(code, message);
            return code;
        }
    }
    if (!update_flag) {
        env_store_release();
        return 0;
    }

    printf("Begin update %s \n", image_path);
    if (pf_access(RESULT_LOG_PATH, F_OK) == 0) {
        fprintf(stderr, "Has update, update again!");
        shell_run("rm -f /mnt/nand/upfw.log");
    }
    int code = UPFW_run_update(image_path);
    upfw_result_message(code, message, sizeof message);
    upfw_write_result(code, message);
    return code;
}
