// The compatibility gate: does this image suit this very device?
#pragma once

#include <cstdint>

struct ImageHeader;

constexpr int GATE_MESSAGE_SIZE = 256;

// 0 when the image may be installed; otherwise the code of the first rule that fails, with its
// message in message (GATE_MESSAGE_SIZE bytes). The buffer is written only on failure.
int upfw_check_compat(const char* image_path, char* message);

// The AI capability test: migrates the ProductCode's AI type in place, then 0 when the image's
// mask allows the device's AI type (or the device has none), -1 when it does not.
int upfw_check_ai(const ImageHeader* header, char* product_code);

// --- Device identification probes ---

constexpr int PRODUCT_CODE_LENGTH = 32;

// The ProductCode: environment, else EEPROM (then stored), else the built-in default.
// out: at least PRODUCT_CODE_LENGTH + 1 bytes, zero-filled by the caller.
// 0; -1 for a null buffer, or when a code read from the EEPROM could not be stored.
int chipinfo_get(char* out);
// Stores the code as "chipinfo": 0 when stored and read back equal, -1 otherwise.
int chipinfo_set(const char* code);
// Rewrites old AI type codes (positions 26, 27) in place and stores the code. Always 0.
int chipinfo_update_ai_type(char* code);

// The identification EEPROM on I2C bus 3.
int dm2016_open();
int dm2016_close(int fd);
// 0; -1 for a null destination; the negative result of the first failing byte read.
int dm2016_read(int fd, unsigned start, unsigned count, uint8_t* dest);
// 1 when the EEPROM answers, 0 when not.
int dm2016_is_present();

// The SoC's MDIO controller through its physical register window.
int mdio_map();
void mdio_unmap();
int mdio_wait_idle();
// The 16-bit register value; 0 when nothing can be read; -1 when the window cannot be mapped.
int mdio_read(uint8_t phy, uint8_t reg);

enum class SensorType { none, imx327, imx334, imx385, imx385_lvds, imx415 };
SensorType sensor_type_get();
int codec_is_external_8822();
