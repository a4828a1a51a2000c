#include "common/shell.h"

#include "platform/platform.h"

#include <sys/wait.h>

namespace {
int exit_status(int wait_status)
{
    if (wait_status == -1)
        return -1;
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    return 128 + WTERMSIG(wait_status);
}
}  // namespace

int shell_run(const char* command)
{
    fflush(stdout);
    return exit_status(pf_system(command));
}

FILE* shell_open(const char* command)
{
    fflush(stdout);
    return pf_popen(command, "r");
}

int shell_close(FILE* stream) { return exit_status(pf_pclose(stream)); }
