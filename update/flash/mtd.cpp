#include "update/flash/flash.h"

#include "common/shell.h"

#include <cstdio>
#include <cstring>

int get_mtd_info(MtdDeviceMap* map)
{
    memset(map, 0, sizeof(*map));
    for (int i = 0; i < PARTITION_COUNT; ++i) {
        MtdDevice& entry = map->entries[i];
        snprintf(entry.name, sizeof(entry.name), "%.*s", static_cast<int>(partition_names[i].size()),
                 partition_names[i].data());

        char command[128];
        snprintf(command, sizeof(command), "cat %s | grep %s \n", "/proc/mtd", entry.name);
        FILE* out = shell_open(command);
        if (!out) {
            perror("popen /proc/mtd");
            return -1;
        }
        // The filter already matched; checking again keeps us right if grep is not what we think.
        char device[1024] = "";
        char line[1024];
        while (fgets(line, sizeof(line), out)) {
            if (strstr(line, entry.name)) {
                line[strcspn(line, ":\n")] = '\0';
                snprintf(device, sizeof(device), "%s", line);
                break;
            }
        }
        shell_close(out);
        snprintf(entry.dev, sizeof(entry.dev), "/dev/%.26s", device);
    }
    return 0;
}
