// camsim: creates and inspects simulated cameras.
#include "sim/sim.h"

#include <cstdio>
#include <cstring>

namespace {
int usage()
{
    fprintf(stderr,
            "usage: camsim init ROOT [--small]\n"
            "       camsim boot ROOT\n"
            "       camsim stats ROOT\n");
    return 2;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return usage();
    const char* cmd = argv[1];
    if (strcmp(cmd, "init") == 0) {
        bool small = false;
        for (int i = 3; i < argc; ++i) {
            if (strcmp(argv[i], "--small") != 0)
                return usage();
            small = true;
        }
        return camsim_init(argv[2], small) == 0 ? 0 : 1;
    }
    if (argc != 3)
        return usage();
    if (strcmp(cmd, "boot") == 0)
        return camsim_boot(argv[2]);
    if (strcmp(cmd, "stats") == 0)
        return camsim_stats(argv[2]);
    return usage();
}
