// Placeholder until the command line is built.
#include "update/env/env.h"

int main()
{
    env_store_open();
    return 0;
}
