// Test support for simulated cameras: their counters and their bad blocks.
#pragma once

#include <map>
#include <string>

namespace qvtest {

// What `camsim stats` says about one device; -1 where it said nothing.
struct DevStats {
    long erased = -1, programmed = -1, read = -1, reprogrammed = -1, bad_writes = -1;
};

// The counters of `camsim stats` output, by device ("mtdN").
std::map<std::string, DevStats> parse_stats(const std::string& text);

// Sets the bad blocks of mtdN in a camera's flash.conf (the simulated platform then needs a reset).
void set_bad_blocks(const std::string& flash_conf, int n, const std::string& blocks);

}  // namespace qvtest
