// A simulated camera set up as one device of the gate's tests, used in-process.
#pragma once

#include "tests/support/run.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace compat_test {

// Neither a board, model nor lens rule applies to this code; AI type "00", position 19 '0'.
inline const std::string base_code = "QVT22R0307TA501G0100P77770000000";
inline const std::string default_code = "QVZ27R0807TA501G0100P77770000000";

// base with characters replaced at the given positions.
std::string code_with(std::string base, const std::vector<std::pair<int, char>>& changes);
// base with position 19 and the AI type code (positions 26, 27) replaced.
std::string ai_code(char pos19, const char* type, std::string base = base_code);

constexpr uint32_t V(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return a << 24 | b << 16 | c << 8 | d;
}
// The PartitionRecord text of a root filesystem.
std::string fs_record(const char* name, uint32_t ver);

struct Device {
    std::optional<std::string> chipinfo = base_code;  // environment variable
    std::optional<std::string> eeprom = base_code;    // dev/i2c-3 bytes; nullopt: no bus
    std::optional<std::string> sensor{};              // tmp/sensor_type
    std::optional<std::string> codec{};               // tmp/codec_type
    std::string mdio = "0x0022";                      // sim/mdio; a PHY that is not the 8211
    std::optional<std::string> fs1 = fs_record("fs1", V(1, 7, 0, 64));
    std::optional<std::string> fs2{};
    std::vector<std::string> libs{};  // files under /opt/app/libs
    bool env_unusable = false;      // both environment devices gone
};

struct Image {
    uint32_t version = V(1, 7, 0, 77);
    uint64_t mask = 0;
    int length = 2048;  // bytes of header written; -1: no file
};
// An ImageHeader with the root filesystem version and AI mask, laid out byte by byte.
std::string image_header(uint32_t fs_version, uint64_t mask);

// A fresh small camera whose environment starts erased (the default environment), with the
// device's facts in place, its environment opened in this process.
class Camera {
public:
    explicit Camera(const Device& device = {});
    ~Camera();
    std::string path(const std::string& rel) const { return dir_ / rel; }
    // Writes the image where update looks for it; its path on the camera.
    const char* write_image(const Image& image) const;
    static constexpr const char* image_path = "/dev/shm/updateFM.bin";
    // The value of an environment variable, nullopt when undefined.
    std::optional<std::string> env(const char* name) const;

private:
    qvtest::TempDir dir_;
    bool env_open_ = false;
};

struct Output {
    std::string out;
    std::string err;
};
// Runs f with this process's standard output and error captured.
Output capture(const std::function<void()>& f);

}  // namespace compat_test
