// Placeholder until the update run is built.
#include "update/upgrade/upgrade.h"

#include <cstdio>

int UPFW_run_update(const char*)
{
    fprintf(stderr, "UPFW_run_update: update run not built yet\n");
    return -1;
}
