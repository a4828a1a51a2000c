// qv_watchdog: the hardware watchdog service and the liveness monitor of qvserver.
#pragma once

#include <atomic>

// State shared by the tick loop and the signal handler.
extern int watchdog_fd;                // the open watchdog device, -1 when closed
extern std::atomic<int> exit_flag;     // 1 once SIGINT or SIGTERM arrived
extern std::atomic<int> pause_ticks;   // ticks left during which the liveness check is suspended

// Unit qv_watchdog: configuration file and watchdog device.
int read_watchdog_conf();          // 1 enabled, 0 switched off
int watchdog_start();              // 0 started, 1 already started, -1 switched off or no device
int watchdog_open();               // the device descriptor, or -1
int watchdog_keepalive(int fd);    // -1 bad descriptor, 0 while rebooting, else the request's result
void watchdog_feed();
void watchdog_close();

// Unit main: signals, liveness check, up-time report.
void signal_setup();
void signal_handler(int sig);
// The main flow's share of the signals that arrived since the last call: their notice lines,
// and the suspension requests that may be carried out now.
void signal_dispatch();
// Lowers pause_ticks by one unless it is 0, without undoing a value the handler stored.
void pause_count_down();
int app_is_alive();                // 1 when the process named in /tmp/qvserver exists
int is_directory(const char* path);
int printf_sys_up_time();          // always 0
