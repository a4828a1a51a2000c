#include "tests/support/camera.h"

#include "tests/support/run.h"

#include <cstdio>
#include <sstream>

namespace qvtest {

std::map<std::string, DevStats> parse_stats(const std::string& text)
{
    std::map<std::string, DevStats> all;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        char dev[32];
        DevStats s;
        if (sscanf(line.c_str(),
                   "%31s %*s erased=%ld programmed=%ld read=%ld program_without_erase=%ld bad_block_writes=%ld", dev,
                   &s.erased, &s.programmed, &s.read, &s.reprogrammed, &s.bad_writes) == 6)
            all[dev] = s;
    }
    return all;
}

void set_bad_blocks(const std::string& flash_conf, int n, const std::string& blocks)
{
    std::istringstream in(read_file(flash_conf));
    std::string out, line;
    const std::string key = "mtd" + std::to_string(n) + " ";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0)
            line = line.substr(0, line.find(" bad=")) + " bad=" + blocks;
        out += line + "\n";
    }
    write_file(flash_conf, out);
}

}  // namespace qvtest
