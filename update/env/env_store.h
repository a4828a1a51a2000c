// The EnvStore's copy in use, as the variable operations see it.
#pragma once

#include <cstdint>

// The data area of the copy in use (env_data_size bytes), or nullptr when no copy is in use:
// the store was never opened, its opening failed, or it was released.
char* env_store_data();
// Stores the CRC of the data area into the copy in use.
void env_store_set_crc(uint32_t crc);
