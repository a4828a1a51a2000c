// The bank-switching update run.
#pragma once

// Installs the image into the bank that is not running. 0, or the run's result code.
int UPFW_run_update(const char* image_path);
