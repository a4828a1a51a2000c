#include "tests/compat/camera.h"

#include "sim/sim.h"
#include "update/env/env.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace compat_test {

std::string code_with(std::string base, const std::vector<std::pair<int, char>>& changes)
{
    for (auto [pos, c] : changes)
        base.at(static_cast<size_t>(pos)) = c;
    return base;
}

std::string ai_code(char pos19, const char* type, std::string base)
{
    return code_with(std::move(base), {{19, pos19}, {26, type[0]}, {27, type[1]}});
}

std::string fs_record(const char* name, uint32_t ver)
{
    char text[128];
    snprintf(text, sizeof text, "name:%s\tver:0x%08x\tsize:%u\tdate:0x%08x ", name, ver, 2097152u, 0x07E5021Au);
    return text;
}

std::string image_header(uint32_t fs_version, uint64_t mask)
{
    std::string h(2048, '\0');
    auto put32 = [&h](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            h[at + i] = static_cast<char>(v >> (8 * i) & 0xFF);
    };
    const char* names[6] = {"cmd", "bld", "ker", "fs", "tool", "bld2"};
    for (size_t slot = 0; slot < 6; ++slot) {
        put32(80 * slot + 8, 0x09000909);  // a version that no rule would pass
        h.replace(80 * slot + 24, std::char_traits<char>::length(names[slot]), names[slot]);
    }
    put32(80 * 3 + 8, fs_version);  // the root filesystem's version is the image's
    put32(480, static_cast<uint32_t>(mask));
    put32(484, static_cast<uint32_t>(mask >> 32));
    return h;
}

namespace {

// One factory camera per test process; each Camera starts from a copy of it.
const std::string& factory_camera()
{
    static qvtest::TempDir dir;
    static bool made = false;
    if (!made) {
        auto r = qvtest::run(qvtest::bin("camsim"), {"init", dir / "cam", "--small"});
        if (r.status != 0)
            throw std::runtime_error("camsim init: " + r.err);
        made = true;
    }
    static const std::string root = dir / "cam";
    return root;
}

void put_or_remove(const std::string& path, const std::optional<std::string>& content)
{
    if (content)
        qvtest::write_file(path, *content);
    else
        fs::remove(path);
}

}  // namespace

Camera::Camera(const Device& d)
{
    // The gate never writes the partitions beyond the environment: those are shared, not copied.
    const fs::path factory = factory_camera();
    for (const auto& entry : fs::recursive_directory_iterator(factory)) {
        const fs::path rel = fs::relative(entry.path(), factory);
        const fs::path to = dir_.path() / rel;
        const std::string r = rel.string();
        if (entry.is_directory())
            fs::create_directories(to);
        else if (r.starts_with("dev/mtd") && r != "dev/mtd1" && r != "dev/mtd2")
            fs::create_hard_link(entry.path(), to);
        else
            fs::copy_file(entry.path(), to);
    }
    for (const char* env_dev : {"dev/mtd1", "dev/mtd2"}) {
        if (d.env_unusable) {
            fs::remove(path(env_dev));
        } else {
            // Erased copies: the store starts from the default environment, no chipinfo.
            auto size = fs::file_size(path(env_dev));
            qvtest::write_file(path(env_dev), std::string(size, '\xFF'));
        }
    }
    put_or_remove(path("dev/i2c-3"), d.eeprom);
    put_or_remove(path("tmp/sensor_type"), d.sensor);
    put_or_remove(path("tmp/codec_type"), d.codec);
    qvtest::write_file(path("sim/mdio"), d.mdio + "\n");
    fs::remove_all(path("opt/app/libs"));
    fs::create_directories(path("opt/app/libs"));
    for (const std::string& lib : d.libs)
        qvtest::write_file(path("opt/app/libs/" + lib), "ELF");

    setenv("CAMSIM_ROOT", dir_.path().c_str(), 1);
    sim_reset();
    Output opened = capture([&] { env_open_ = env_store_open() == 0; });
    if (d.env_unusable != !env_open_)
        throw std::runtime_error("env_store_open: " + opened.out + opened.err);
    const std::pair<const char*, const std::optional<std::string>*> vars[] = {
        {"chipinfo", &d.chipinfo}, {"fs1", &d.fs1}, {"fs2", &d.fs2}};
    for (auto [name, value] : vars)
        if (env_open_ && *value && env_store_set(name, (*value)->c_str()) != 0)
            throw std::runtime_error(std::string("env_store_set ") + name);
}

Camera::~Camera()
{
    capture([] { env_store_release(); });
    unsetenv("CAMSIM_ROOT");
}

const char* Camera::write_image(const Image& image) const
{
    std::string p = path("dev/shm/updateFM.bin");
    if (image.length < 0)
        return image_path;
    std::string bytes = image_header(image.version, image.mask);
    bytes.resize(static_cast<size_t>(image.length), '\xFF');
    qvtest::write_file(p, bytes);
    return image_path;
}

std::optional<std::string> Camera::env(const char* name) const
{
    const char* v = env_store_get(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

Output capture(const std::function<void()>& f)
{
    fflush(stdout);
    fflush(stderr);
    FILE* files[2] = {tmpfile(), tmpfile()};
    int saved[2] = {dup(1), dup(2)};
    dup2(fileno(files[0]), 1);
    dup2(fileno(files[1]), 2);
    f();
    fflush(stdout);
    fflush(stderr);
    Output o;
    std::string* sinks[2] = {&o.out, &o.err};
    for (int i = 0; i < 2; ++i) {
        dup2(saved[i], i + 1);
        close(saved[i]);
        rewind(files[i]);
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, files[i])) > 0;)
            sinks[i]->append(buf, n);
        fclose(files[i]);
    }
    return o;
}

}  // namespace compat_test
