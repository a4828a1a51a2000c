// State shared by the pieces of the simulated platform. Not for product code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace sim {

// The smallest part of a NAND page that can be programmed on its own, as the kernel's NAND core
// gives it for the simulator's chips: a quarter of a 2048- or 4096-byte page, half of a 512-byte
// one. Other page sizes have no such parts here: the page itself.
constexpr uint32_t subpage_size(uint32_t writesize)
{
    if (writesize >= 2048 && writesize % 4 == 0)
        return writesize / 4;
    if (writesize == 512)
        return writesize / 2;
    return writesize;
}

// One device of flash.conf.
struct MtdDev {
    int number = -1;  // N of mtdN
    std::string name;
    uint64_t size = 0;
    uint32_t erasesize = 0, writesize = 0, oobsize = 0;
    bool nand = true;
    std::vector<uint32_t> bad;  // indices of bad erase blocks
    bool is_bad(uint64_t block) const;
    // NAND: the unit a write must start on and cover. NOR writes bytes and tracks no sub-pages.
    uint32_t subpage() const { return nand ? subpage_size(writesize) : writesize; }
};

// Persistent per-device counters, kept in sim/counters (mapped, so a power cut loses nothing).
struct Counters {
    uint64_t erased;
    uint64_t programmed;
    uint64_t read;
    uint64_t reprogrammed;  // pages with a sub-page programmed again without an erase
    uint64_t bad_writes;    // pages written into bad blocks
};
constexpr int max_mtd = 64;

enum class Kind { file, mtd, watchdog, i2c, mem };

struct OpenFile {
    Kind kind = Kind::file;
    std::string path;  // as the program named it
    int flags = 0;
    int mtd = -1;  // number of the device for Kind::mtd
};

struct Fault {
    std::string call, path;
    long nth = 1;
    bool and_later = false;
    int err = 0;
};

struct ShellFault {
    std::string prefix;
    int status = 0;
};

struct DueSignal {
    uint64_t ms = 0;
    int sig = 0;
    bool raised = false;
};

enum class MdioMode { phy, busy, nodata };

// A mapped window of physical memory; the MDIO controller's registers behave, others are RAM.
struct MmioWindow {
    size_t length = 0;
    bool mdio = false;
    MdioMode mode = MdioMode::phy;
    uint16_t phy_id = 0;
    uint32_t command = 0, data = 0, status = 0;
};

struct State {
    bool loaded = false;
    std::string root;
    std::vector<MtdDev> mtds;
    std::vector<Fault> faults;
    std::vector<ShellFault> shell_faults;
    std::vector<DueSignal> signals;
    long powercut = 0;   // 0: none
    long mutations = 0;  // flash mutations of this run
    std::map<std::string, long> call_counts;
    std::map<int, OpenFile> files;
    std::map<FILE*, int> pipes;  // popen streams and their exit status
    uint64_t now_us = 0;
    int watchdog_timeout = 60;
    Counters* counters = nullptr;                   // max_mtd entries, mapped
    std::map<int, uint8_t*> page_maps;              // programmed-page bitmaps, mapped
    std::map<int, size_t> page_map_sizes;
    std::map<void*, MmioWindow> mmio;
};

// The devices of root/flash.conf; lines that do not parse are reported on stderr and skipped.
std::vector<MtdDev> load_flash_conf(const std::string& root);

// Loads the camera on first use; exits with 125 when CAMSIM_ROOT is unset.
State& state();

// The root-side path of a program's path: absolute paths live under the root.
std::string map_path(const char* path);
// The program's path with repeated slashes collapsed, for recognising device nodes.
std::string normal_path(const char* path);

const MtdDev* find_mtd(int number);
// The device of "/dev/mtdN" when flash.conf lists it, else nullptr.
const MtdDev* mtd_of_path(const std::string& normal);

// Counts the call and tells whether sim/faults makes it fail; sets errno when it does.
bool fault(const char* call, const std::string& path);

Counters& counters(int mtd);
// The programmed bitmap of a NAND device (one bit a sub-page).
uint8_t* page_map(const MtdDev& d);

// Counts one flash mutation; true when the power is to fail during it.
bool mutation_fails();
// Ends the process as a power loss does.
[[noreturn]] void power_lost();

// Erases block `block` of d on the open descriptor fd (real file). Counts it; honours powercut.
int erase_block(const MtdDev& d, int fd, uint64_t block);

// Virtual time in milliseconds.
uint64_t now_ms();

// Appends a line to a file under the root's sim/ folder.
void append_sim_file(const char* name, const std::string& line);

int errno_from_name(const std::string& name);
std::string errno_name(int err);
int signal_from_name(const std::string& name);

// Config file helpers.
bool read_text(const std::string& path, std::string& out);
std::vector<std::string> split_words(const std::string& line);
bool parse_number(const std::string& text, uint64_t& value);

// Default camera contents shared by camsim init and the boot loader.
constexpr uint32_t env_copy_size = 0x40000;
constexpr uint32_t env_unit_size = 0x80000;

}  // namespace sim
