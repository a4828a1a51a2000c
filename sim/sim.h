// The simulated camera: test hooks and the operations of the camsim tool.
#pragma once

#include <string>

// Forgets every piece of simulated state (open descriptors, clock, fault and signal lists,
// counters of this run). The next platform call reads CAMSIM_ROOT, flash.conf, sim/faults and
// sim/signals afresh. For tests that drive the platform layer in-process.
void sim_reset();

// Makes a factory-fresh camera in root (created when missing). Returns 0, or -1 with a message
// on stderr.
int camsim_init(const std::string& root, bool small);

// What the boot loader and kernel do at the next power-on: prints the environment copy, the
// kernel and root filesystem that start and their CRC-32, rewrites proc/cmdline. Returns 0 when
// kernel and root filesystem are of the same bank, 1 otherwise (2 on a camera that cannot be
// read).
int camsim_boot(const std::string& root);

// Prints the flash counters of every device since camsim init. Returns 0, or 2 on a camera
// that cannot be read.
int camsim_stats(const std::string& root);
