// Placeholder until the compatibility gate is built: it refuses every image.
#include "update/compat/compat.h"

#include <cstdio>

int upfw_check_compat(const char*, char* message)
{
    fprintf(stderr, "upfw_check_compat: compatibility gate not built yet\n");
    snprintf(message, GATE_MESSAGE_SIZE, "compatibility gate not built yet\n");
    return -1;
}
