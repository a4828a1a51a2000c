// The update command line, the order of one run, the ResultLog and the exit status.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* UPFW_VERSION = "0.1.0.1";
constexpr const char* RESULT_LOG_PATH = "/mnt/nand/upfw.log";
constexpr size_t IMAGE_PATH_SIZE = 128;
constexpr size_t RESULT_BLOCK_SIZE = 256;

// One whole run of update; the result is the exit status (the system keeps its low 8 bits).
int upfw_main(int argc, char** argv);

// Parses the command line, carrying out the options that act at once. 0, or -1 after the
// usage text when an option failed or was not understood; the run then ends with -1.
int upfw_parse_args(int argc, char** argv);
void upfw_show_usage();

// Rewrites the ResultLog: two 256-byte blocks, the code as "%d\n" and the message (which also
// goes to stderr), both zero-padded. The byte count of the second block, or -1.
int upfw_write_result(int32_t code, const char* message);

// The ResultMessages text for an update run's code, "\n" included, cut to fit size bytes.
void upfw_result_message(int32_t code, char* out, size_t size);
