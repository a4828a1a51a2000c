// One whole install (`update-sim -u`) on the default simulated camera, with root filesystem
// components of different sizes: time, the program's peak resident memory, and the flash work
// that `camsim stats` counts. The memory must not grow with the component size.
#include "common/crc32.h"
#include "sim/sim.h"
#include "update/image/image.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t MiB = 1 << 20;

std::string scratch_dir()
{
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path().string();
    std::string tmpl = base + "/qvbench.XXXXXX";
    if (!mkdtemp(tmpl.data()))
        return {};
    return tmpl;
}

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void spit(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

// Streams an image with a kernel and a root filesystem component; nothing is held whole.
bool write_image(const std::string& path, uint32_t ker_size, uint32_t fs_size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    ImageHeader header{};
    fwrite(&header, sizeof header, 1, f);
    std::vector<char> chunk(64 * 1024);
    uint32_t offset = IMAGE_HEADER_SIZE;
    uint32_t x = 0x2545F491;
    for (int slot : {SLOT_KER, SLOT_FS}) {
        ComponentEntry& e = header.entries[slot];
        memcpy(e.name, component_slots[slot].name.data(), component_slots[slot].name.size());
        e.offset = offset;
        e.size = slot == SLOT_KER ? ker_size : fs_size;
        e.version = 0x01070050;
        e.date = 0x07EA0B1C;
        for (uint32_t done = 0; done < e.size; done += static_cast<uint32_t>(chunk.size())) {
            for (char& c : chunk) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                c = static_cast<char>(x);
            }
            size_t n = std::min<size_t>(chunk.size(), e.size - done);
            e.crc32 = crc32(e.crc32, chunk.data(), n);
            fwrite(chunk.data(), 1, n, f);
        }
        offset += e.size;
    }
    fseek(f, 0, SEEK_SET);
    fwrite(&header, sizeof header, 1, f);
    return fclose(f) == 0;
}

// The high-water mark of resident memory, from /proc/PID/status, in KiB.
long vm_hwm_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

struct Run {
    int status = -1;
    long peak_kib = -1;
};

// Runs update-sim -u and reads its peak memory just before it exits (a traced exit stops the
// program while its memory still exists). Forked children inherit our own high-water mark in
// ru_maxrss, so that figure is not used.
Run run_update(const std::string& root)
{
    Run run;
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        setenv("CAMSIM_ROOT", root.c_str(), 1);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        std::string program = std::string(QV_BIN_DIR) + "/update-sim";
        execl(program.c_str(), "update-sim", "-u", static_cast<char*>(nullptr));
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);  // stopped at the exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT));
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    for (;;) {
        if (waitpid(pid, &st, 0) < 0)
            break;
        if (WIFEXITED(st) || WIFSIGNALED(st)) {
            run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        int deliver = 0;
        if (st >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8)))
            run.peak_kib = vm_hwm_kib(pid);
        else if (WIFSTOPPED(st) && WSTOPSIG(st) != SIGTRAP)
            deliver = WSTOPSIG(st);
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
    }
    return run;
}

struct Counters {
    long erased = 0, programmed = 0, read = 0, reprogrammed = 0, bad_writes = 0;
};

std::map<std::string, Counters> flash_stats(const std::string& root)
{
    std::map<std::string, Counters> all;
    std::string command = std::string(QV_BIN_DIR) + "/camsim stats " + root;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return all;
    char line[512], dev[32];
    while (fgets(line, sizeof line, p)) {
        Counters c;
        if (sscanf(line, "%31s %*s erased=%ld programmed=%ld read=%ld program_without_erase=%ld bad_block_writes=%ld",
                   dev, &c.erased, &c.programmed, &c.read, &c.reprogrammed, &c.bad_writes) == 6)
            all[dev] = c;
    }
    pclose(p);
    return all;
}

// The root filesystem component is range(0) MiB, the kernel 1 MiB.
void BM_Install(benchmark::State& state)
{
    const uint32_t fs_size = static_cast<uint32_t>(state.range(0)) * MiB;
    std::string scratch = scratch_dir();
    std::string root = scratch + "/camera";
    if (scratch.empty() || camsim_init(root, false) != 0) {
        state.SkipWithError("cannot make the simulated camera");
        return;
    }
    fs::create_directories(root + "/dev/shm");
    if (!write_image(root + "/dev/shm/updateFM.bin", MiB, fs_size)) {
        state.SkipWithError("cannot write the image");
        return;
    }
    // Each install switches to bank 2; putting the environment back makes the next one alike.
    const std::string env1 = slurp(root + "/dev/mtd1"), env2 = slurp(root + "/dev/mtd2");
    const std::string cmdline = slurp(root + "/proc/cmdline");

    long peak = 0, runs = 0;
    auto before = flash_stats(root);
    for (auto _ : state) {
        state.PauseTiming();
        spit(root + "/dev/mtd1", env1);
        spit(root + "/dev/mtd2", env2);
        spit(root + "/proc/cmdline", cmdline);
        state.ResumeTiming();
        Run run = run_update(root);
        if (run.status != 0) {
            state.SkipWithError("update-sim -u failed");
            break;
        }
        peak = std::max(peak, run.peak_kib);
        ++runs;
    }
    auto after = flash_stats(root);
    if (runs > 0) {
        const Counters &b = before["mtd6"], &a = after["mtd6"];
        state.counters["peak_rss_KiB"] = static_cast<double>(peak);
        state.counters["fs2_erased_blocks"] = static_cast<double>(a.erased - b.erased) / runs;
        state.counters["fs2_programmed_pages"] = static_cast<double>(a.programmed - b.programmed) / runs;
        state.counters["fs2_read_pages"] = static_cast<double>(a.read - b.read) / runs;
        state.counters["data_pages"] = static_cast<double>(fs_size / 2048);
        long violations = 0;
        for (auto& [dev, c] : after)
            violations += c.reprogrammed + c.bad_writes;
        state.counters["violations"] = static_cast<double>(violations);
    }
    std::error_code ec;
    fs::remove_all(scratch, ec);
}

BENCHMARK(BM_Install)->Arg(1)->Arg(32)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
