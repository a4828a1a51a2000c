// The bank-switching update run.
#pragma once

// Installs the image into the bank that is not running. 0, or the run's result code.
int UPFW_run_update(const char* image_path);

// The running bank (1 or 2) as the kernel command line names it; -1 when it names neither.
int get_current_bank();

// Creates a directory and every missing parent. 0, or -1.
int make_dirs(const char* path);

// 1 when path itself is a directory (a symbolic link is not followed), else 0.
int is_dir(const char* path);
