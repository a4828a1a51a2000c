// libqvstd: the few support operations of the camera maker's library that qv_watchdog uses.
#pragma once

#include <cstddef>
#include <ctime>

// "YYYY-MM-DD HH:MM:SS" of t in local time into buf (size bytes, terminated). Returns the
// length of the text, 0 when it does not fit (buf then holds an empty text).
int time_to_string(time_t t, char* buf, size_t size);

// The current time as time_to_string gives it, with ".mmm" appended.
int time_to_string_ms(char* buf, size_t size);

// The debug mask: the first integer in /tmp/qv_debug_mask; 1 when the file is missing,
// unreadable or holds no integer, so that error lines are shown by default.
int debug_get_mask();

// Sends line to the system log at error priority (the only level the daemon uses). Returns 0.
int _qv_log(const char* level, const char* line);

// Runs command through the shell and waits for it; its exit status, or -1.
int qv_system(const char* command);

// 1 while a reboot is in progress (/tmp/qv_rebooting exists), else 0.
int qv_is_reboot();

// Removes trailing newlines and carriage returns, then leading and trailing runs of c, in
// place. Returns s.
char* qv_string_strip(char* s, char c);
