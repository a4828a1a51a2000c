// `update-sim -u` as a whole program on the small simulated camera: the ResultLog, power cuts at
// every flash mutation, and every I/O call failed in turn. Afterwards `camsim boot` must start a
// whole bank: the old one, or the new one when the install completed.
#include "tests/upgrade/upgrade_fixture.h"
#include "update/front/front.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <filesystem>
#include <set>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace upgradetest;
namespace fs = std::filesystem;

namespace {

struct Boot {
    int status = -1;
    std::string kernel, rootfs, bank;
    uint32_t kernel_crc = 0, rootfs_crc = 0;
    std::string text;
};

bool same_content(const std::string& path, const std::string& expected)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buf[65536];
    size_t at = 0, n;
    bool same = true;
    while (same && (n = fread(buf, 1, sizeof buf, f)) > 0) {
        same = at + n <= expected.size() && memcmp(buf, expected.data() + at, n) == 0;
        at += n;
    }
    fclose(f);
    return same && at == expected.size();
}

// A scratch folder in memory when the machine has one: these tests rebuild a camera per run.
class Scratch {
public:
    Scratch()
    {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path().string();
        std::string tmpl = base + "/qvinstall.XXXXXX";
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp");
        path = tmpl;
    }
    ~Scratch()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

class Install : public ::testing::Test {
protected:
    Scratch scratch;
    std::string tpl = scratch.path + "/template";
    std::string cam = scratch.path + "/camera";
    TestImage image;
    std::string bld = pattern(BLOCK, 21);
    Boot factory;

    void SetUp() override
    {
        ASSERT_EQ(capture([&] { return camsim_init(tpl, true); }).rc, 0);
        image.add(SLOT_BLD, bld, NEW_VERSION)
            .add(SLOT_KER, pattern(4 * PAGE, 22))
            .add(SLOT_FS, pattern(8 * PAGE, 23))
            .add(SLOT_TOOL, pattern(1000, 24));
        qvtest::write_file(tpl + "/dev/shm/updateFM.bin", image.bytes());
        fresh();
        factory = boot();
        ASSERT_EQ(factory.status, 0) << factory.text;
        ASSERT_EQ(factory.bank, "1");
    }

    // The template camera, kept in memory: every run starts from a fresh copy of it. Only what
    // a run changed is put back, which keeps thousands of runs affordable.
    std::map<std::string, std::string> template_files;
    std::vector<std::string> template_dirs;

    void fresh()
    {
        if (template_files.empty()) {
            fs::remove_all(cam);
            for (const auto& f : fs::recursive_directory_iterator(tpl)) {
                std::string rel = fs::relative(f.path(), tpl).string();
                if (f.is_directory())
                    template_dirs.push_back(rel);
                else if (f.is_regular_file())
                    template_files[rel] = qvtest::read_file(f.path().string());
            }
        }
        // What the run added goes; what it changed is written again.
        if (fs::exists(cam)) {
            std::vector<fs::path> extra;
            for (const auto& f : fs::recursive_directory_iterator(cam)) {
                std::string rel = fs::relative(f.path(), cam).string();
                if (f.is_regular_file() && !template_files.count(rel))
                    extra.push_back(f.path());
                else if (f.is_directory() &&
                         std::find(template_dirs.begin(), template_dirs.end(), rel) == template_dirs.end())
                    extra.push_back(f.path());
            }
            for (const auto& p : extra)
                fs::remove_all(p);
        }
        for (const std::string& rel : template_dirs)
            fs::create_directories(cam + "/" + rel);
        for (const auto& [rel, content] : template_files) {
            std::string path = cam + "/" + rel;
            if (!same_content(path, content))
                qvtest::write_file(path, content);
        }
    }

    // One run of `update -u` on a fresh camera, in a child process of its own: the same code as
    // update-sim, without loading a program for each of the thousands of runs.
    qvtest::RunResult install(const std::string& faults = "")
    {
        fresh();
        if (!faults.empty())
            qvtest::write_file(cam + "/sim/faults", faults);
        const std::string out = scratch.path + "/out", err = scratch.path + "/err";
        fflush(stdout);
        fflush(stderr);
        pid_t pid = fork();
        if (pid == 0) {
            if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr))
                _exit(126);
            setenv("CAMSIM_ROOT", cam.c_str(), 1);
            env_store_release();
            sim_reset();
            char program[] = "update", option[] = "-u";
            char* argv[] = {program, option, nullptr};
            int code = upfw_main(2, argv);
            fflush(stdout);
            fflush(stderr);
            _exit(code & 0xFF);
        }
        qvtest::RunResult r;
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        r.out = qvtest::read_file(out);
        r.err = qvtest::read_file(err);
        return r;
    }

    Boot boot()
    {
        Output r = capture([&] { return camsim_boot(cam); });
        Boot b;
        b.status = r.rc;
        b.text = r.out + r.err;
        char part[32];
        uint32_t crc;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            if (sscanf(line.c_str(), "kernel %31s size %*u crc32 0x%" SCNx32, part, &crc) == 2) {
                b.kernel = part;
                b.kernel_crc = crc;
            } else if (sscanf(line.c_str(), "rootfs %31s size %*u crc32 0x%" SCNx32, part, &crc) == 2) {
                b.rootfs = part;
                b.rootfs_crc = crc;
            } else if (line.rfind("bank ", 0) == 0) {
                b.bank = line.substr(5);
            }
        }
        return b;
    }

    bool boots_old(const Boot& b) const
    {
        return b.status == 0 && b.kernel == "ker1" && b.rootfs == "fs1" && b.kernel_crc == factory.kernel_crc &&
               b.rootfs_crc == factory.rootfs_crc;
    }
    bool boots_new(const Boot& b)
    {
        return b.status == 0 && b.kernel == "ker2" && b.rootfs == "fs2" &&
               b.kernel_crc == image.entry(SLOT_KER).crc32 && b.rootfs_crc == image.entry(SLOT_FS).crc32;
    }

    std::string result_log() { return qvtest::read_file(cam + "/mnt/nand/upfw.log"); }
};

std::string log_bytes(int code, const std::string& message)
{
    std::string a = std::to_string(code) + "\n", b = message;
    a.resize(256, '\0');
    b.resize(256, '\0');
    return a + b;
}

}  // namespace

TEST_F(Install, SuccessAndFailureReachTheResultLog)
{
    qvtest::RunResult r = install();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "update success!\n");
    EXPECT_EQ(result_log(), log_bytes(0, "update success!\n"));
    size_t begin = r.out.find("Begin update /dev/shm/updateFM.bin \n\n\nstart UPFW_run_update\n\n");
    EXPECT_NE(begin, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Create file: /mnt/nand/fyi2/FYI_config.bin \n"), std::string::npos);
    const std::string end = "\n\n end UPFW_run_update \n\n";
    EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
    EXPECT_TRUE(boots_new(boot()));

    // The root filesystem does not fit: the writer's complaint, then the composed code.
    image.entry(SLOT_FS).size = (2 << 20) + PAGE;
    image.data.resize(image.data.size() + (2 << 20));
    image.entry(SLOT_FS).crc32 = crc32(0, image.data.data() + image.entry(SLOT_FS).offset - IMAGE_HEADER_SIZE,
                                       image.entry(SLOT_FS).size);
    template_files["dev/shm/updateFM.bin"] = image.bytes();
    r = install();
    EXPECT_EQ(r.status, 0x07);
    EXPECT_EQ(r.err, "Image 2099200 bytes, NAND page 2048 bytes, OOB area 64 bytes, device size 2097152 bytes\n"
                     "Input file does not fit into device!\n"
                     "ErrCode(0x00000c07) \n");
    EXPECT_EQ(result_log(), log_bytes(0xC07, "ErrCode(0x00000c07) \n"));
    EXPECT_TRUE(boots_old(boot()));
}

namespace {

enum class Cut { safe, uboot_window, switch_window, unsafe, completed };

struct CutResult {
    Cut cut = Cut::unsafe;
    std::map<std::string, long> mutations;  // blocks erased and pages programmed, by device
    std::string detail;
};

// The devices whose mutation counts differ.
std::set<std::string> changed(const std::map<std::string, long>& a, const std::map<std::string, long>& b)
{
    std::set<std::string> devs;
    for (const auto& [dev, n] : b)
        if (a.count(dev) == 0 || a.at(dev) != n)
            devs.insert(dev);
    return devs;
}

}  // namespace

// Power fails during the Nth flash mutation, for every N until the install completes. Cuts
// inside one save of one environment copy all look alike, so by default a run of them is
// sampled: when the cuts 16 apart mutate that same environment device only and end alike, the
// ones between are taken to end alike too. QV_POWERCUT_EVERY=1 runs every single cut.
TEST_F(Install, PowerCutAtEveryFlashMutation)
{
    const char* every = getenv("QV_POWERCUT_EVERY");
    const long stride = every && *every == '1' ? 1 : 16;
    const std::string uboot_old = qvtest::read_file(tpl + "/dev/mtd0");
    const std::string uboot_new = written(bld, 256 << 10);
    const std::set<std::string> env_devices{"mtd1", "mtd2"};

    auto mutations = [&] {
        std::map<std::string, long> m;
        for (const auto& [dev, s] : parse_stats(capture([&] { return camsim_stats(cam); }).out))
            m[dev] = s.erased + s.programmed;
        return m;
    };
    auto cut_at = [&](long n) {
        CutResult c;
        qvtest::RunResult r = install("powercut " + std::to_string(n) + "\n");
        if (r.status == 0) {
            c.cut = Cut::completed;
            return c;
        }
        EXPECT_EQ(r.status, 137) << "cut " << n << ": " << r.err;
        c.mutations = mutations();
        Boot b = boot();
        const std::string uboot = cam + "/dev/mtd0";
        c.detail = "cut " + std::to_string(n) + "\n" + b.text;
        if (!same_content(uboot, uboot_old) && !same_content(uboot, uboot_new))
            c.cut = boots_old(b) ? Cut::uboot_window : Cut::unsafe;  // the boot loader has no second copy
        else if (b.kernel == "ker1" && b.rootfs == "fs2")
            c.cut = Cut::switch_window;  // bootargs stored, bootcmd not yet
        else if (boots_old(b) || boots_new(b))
            c.cut = Cut::safe;
        return c;
    };

    std::map<Cut, long> count;
    long total = 0, run = 0;
    auto take = [&](const CutResult& c, long times) {
        EXPECT_NE(c.cut, Cut::unsafe) << c.detail;
        count[c.cut] += times;
        total += times;
    };
    fresh();
    CutResult prev{Cut::safe, mutations(), ""};
    std::set<std::string> prev_devs;
    for (long n = 0;;) {
        bool in_env_save = prev_devs.size() == 1 && env_devices.count(*prev_devs.begin()) != 0;
        if (stride > 1 && in_env_save) {
            CutResult far = cut_at(n + stride);
            ++run;
            if (far.cut != Cut::completed && far.cut == prev.cut && changed(prev.mutations, far.mutations) == prev_devs) {
                take(far, stride);
                n += stride;
                prev = far;
                continue;
            }
        }
        CutResult next = cut_at(n + 1);
        ++run;
        if (next.cut == Cut::completed)
            break;
        take(next, 1);
        prev_devs = changed(prev.mutations, next.mutations);
        prev = next;
        ++n;
    }
    EXPECT_TRUE(boots_new(boot()));
    EXPECT_GT(total, 0);
    EXPECT_EQ(count[Cut::safe] + count[Cut::uboot_window] + count[Cut::switch_window], total);
    printf("power cut points: %ld total (%ld cuts run), %ld safe, %ld while uboot is rewritten, %ld between "
           "the bootargs and bootcmd saves\n",
           total, run, count[Cut::safe], count[Cut::uboot_window], count[Cut::switch_window]);
    RecordProperty("cut_points", std::to_string(total));
    RecordProperty("safe", std::to_string(count[Cut::safe]));
    RecordProperty("uboot_window", std::to_string(count[Cut::uboot_window]));
    RecordProperty("switch_window", std::to_string(count[Cut::switch_window]));
}

namespace {

// The messages the writer (w) and the read-back check (v) give for their small codes.
const std::map<int, std::string> writer_messages{
    {1, "Fail on erase mtd device!\n"},
    {2, "open flash: "},
    {3, "MEMGETINFO: "},
    {4, "Unknown flash (not normal NAND)\n"},
    {5, "open input file.\n"},
    {6, "file is not page aligned.\n"},
    {7, "Input file does not fit into device!\n"},
    {8, "ioctl get bad block: "},
    {9, "File I/O error on input file.\n"},
    {10, "Pwrite file to mtd fail.\n"},
    {11, "Data was only partially written due to error\n"},
};
const std::map<int, std::string> check_messages{
    {2, "open flash: "},
    {3, "MEMGETINFO: "},
    {4, "Unknown flash (not normal NAND)\n"},
    {8, "ioctl get bad block: "},
    {12, "pread mtd: "},
    {13, "Data was only partially read due to error\n"},
    {14, "Check flash data crc failed. \n"},
    {15, "Not valid image, has write img,but no update env!\n"},
    {17, "set firmware info  faild!\n"},
};
const std::map<int, std::vector<std::string>> run_messages{
    {-1,
     {"image_get_header_info faild!\n", "open output imager: ", "fstat output imager: ", "Read tool failed!!!!: "}},
    {-2, {"Verify update firmware faild!\n"}},
    {-4,
     {"flprog_get_part_table faild!\n", "get_mtd_info faild!\n", "bootargs not find fs, maybe NFS!\n",
      " bootcmd is null!\n"}},
    {-9, {"unknow fs partition or current fs mismatch bootargs fs!\n", "No filesys image!\n"}},
    {18, {"set boot args  faild!\n"}},
};

// Whether stderr carries the message the update run specifies for code.
bool specified(int code, const std::string& err)
{
    auto has = [&](const std::string& m) { return err.find(m) != std::string::npos; };
    if (auto it = run_messages.find(code); it != run_messages.end())
        return std::any_of(it->second.begin(), it->second.end(), has);
    int slot = code & 0x700;
    if (code < 0 || code > 0xFFF || (slot != 0x100 && slot != 0x200 && slot != 0x400))
        return false;
    const auto& table = (code & 0x800) ? writer_messages : check_messages;
    auto it = table.find(code & 0xFF);
    return it != table.end() && has(it->second);
}

}  // namespace

TEST_F(Install, EveryIoCallFailedInTurn)
{
    const char* calls[] = {"open",  "read",  "write", "pread",      "pwrite",  "lseek",
                           "fstat", "stat",  "close", "MEMGETINFO", "MEMERASE", "MEMGETBADBLOCK"};
    const char* paths[] = {"/dev/shm/updateFM.bin", "/dev/mtd0", "/dev/mtd1", "/dev/mtd2", "/dev/mtd4",
                           "/dev/mtd6", "/proc/cmdline", "/mnt/nand/fyi2/FYI_config.bin", "/mnt/nand/upfw.log"};
    // A boot loader of two pages keeps the number of calls, and so of runs, down.
    image = TestImage();
    image.add(SLOT_BLD, pattern(2 * PAGE, 25), NEW_VERSION)
        .add(SLOT_KER, pattern(4 * PAGE, 22))
        .add(SLOT_FS, pattern(8 * PAGE, 23))
        .add(SLOT_TOOL, pattern(1000, 24));
    template_files["dev/shm/updateFM.bin"] = image.bytes();

    long runs = 0, failed_runs = 0, in_update_run = 0, tolerated = 0;
    std::set<int> codes;
    for (const char* call : calls) {
        for (const char* path : paths) {
            // A call that is never made, or whose failures are all ignored, needs no more runs.
            std::string every = std::string("fail ") + call + " " + path + " 1+ EIO\n";
            ++runs;
            if (install(every).status == 0) {
                EXPECT_TRUE(boots_new(boot())) << every;
                continue;
            }
            for (long nth = 1;; ++nth) {
                std::string fault = std::string("fail ") + call + " " + path + " " + std::to_string(nth);
                SCOPED_TRACE(fault);
                qvtest::RunResult r = install(fault + " EIO\n");
                ++runs;
                Boot b = boot();
                if (r.status == 0) {
                    EXPECT_TRUE(boots_new(b)) << b.text;
                    // Ignored here; go on only while failing this call and all after it matters.
                    qvtest::RunResult rest = install(fault + "+ EIO\n");
                    ++runs;
                    if (rest.status == 0)
                        break;
                    ++tolerated;
                    continue;
                }
                ++failed_runs;
                EXPECT_TRUE(boots_old(b)) << r.err << b.text;
                if (std::string(path) == "/mnt/nand/upfw.log")
                    continue;  // the log itself could not be written
                std::string log = result_log();
                ASSERT_EQ(log.size(), 512u);
                int code = atoi(log.c_str());
                EXPECT_EQ(r.status, code & 0xFF);
                std::string message = log.substr(256, log.find('\0', 256) - 256);
                EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), message.size())), message);
                if (r.out.find("start UPFW_run_update") != std::string::npos) {
                    ++in_update_run;
                    codes.insert(code);
                    EXPECT_TRUE(specified(code, r.err)) << std::hex << code << "\n" << r.err;
                }
            }
        }
    }
    // The switch itself failing is among them, and puts the old boot texts back.
    EXPECT_TRUE(codes.count(18)) << "no run failed while storing the boot texts";
    std::string seen;
    for (int c : codes)
        seen += (seen.empty() ? "" : " ") + (c < 0 ? std::to_string(c) : [c] {
            char h[16];
            snprintf(h, sizeof h, "0x%X", c);
            return std::string(h);
        }());
    printf("I/O faults: %ld runs, %ld failed (%ld inside the update run), %ld tolerated; codes: %s\n", runs,
           failed_runs, in_update_run, tolerated, seen.c_str());
}
