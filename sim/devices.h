// The simulated watchdog device and EEPROM bus, used by the descriptor calls.
#pragma once

#include "sim/internal.h"

#include <string>
#include <sys/types.h>

namespace sim {

// Appends "MS call result" to sim/watchdog.log: result is r, or "-1 ENAME" when r < 0.
void watchdog_log(const std::string& call, long r, int err);
int watchdog_ioctl(const OpenFile& f, unsigned long request, void* ptr, unsigned long value, bool has_ptr);
ssize_t watchdog_write(const OpenFile& f, size_t count);

int i2c_ioctl(const OpenFile& f, unsigned long request, unsigned long value);
ssize_t i2c_read(int fd, void* buf, size_t count);
ssize_t i2c_write(int fd, const void* buf, size_t count);

}  // namespace sim
