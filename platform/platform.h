// The operating-system boundary of the camera programs.
//
// Product code reaches the operating system only through these calls. They behave like the
// POSIX/Linux calls of the same name (same arguments, results and errno), so the product reads
// as ordinary Linux code. Two implementations exist and the choice is made at link time:
// platform/linux (the programs that go on the camera) and sim/ (the simulated camera used by
// the -sim programs and the tests).
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>
#include <sys/types.h>

// The camera is 32-bit: offsets past 2 GiB and times past 2038 need the 64-bit types there too.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64");

// Files and devices. The MTD, i2c-dev and watchdog devices are files too: their requests go
// through pf_ioctl (a pointer argument) or pf_ioctl_arg (an integer argument).
int pf_open(const char* path, int flags, mode_t mode = 0);
int pf_close(int fd);
ssize_t pf_read(int fd, void* buf, size_t count);
ssize_t pf_write(int fd, const void* buf, size_t count);
ssize_t pf_pread(int fd, void* buf, size_t count, off_t offset);
ssize_t pf_pwrite(int fd, const void* buf, size_t count, off_t offset);
off_t pf_lseek(int fd, off_t offset, int whence);
int pf_fstat(int fd, struct stat* st);
int pf_stat(const char* path, struct stat* st);
int pf_lstat(const char* path, struct stat* st);
int pf_access(const char* path, int mode);
int pf_mkdir(const char* path, mode_t mode);
int pf_unlink(const char* path);
int pf_ftruncate(int fd, off_t length);
FILE* pf_fopen(const char* path, const char* mode);
int pf_ioctl(int fd, unsigned long request, void* arg);
int pf_ioctl_arg(int fd, unsigned long request, unsigned long arg);

// Shell commands, run through the system shell and waited for. pf_system returns what
// system(3) returns (a wait status); pf_pclose what pclose(3) returns. Neither flushes the
// caller's stdio buffers: callers do that (see common/shell.h).
int pf_system(const char* command);
FILE* pf_popen(const char* command, const char* mode);
int pf_pclose(FILE* stream);

// Physical memory, for the SoC's register windows: a mapping of a descriptor of /dev/mem and
// 32-bit register accesses into it. pf_mmio_map returns nullptr on failure (errno set).
void* pf_mmio_map(int fd, size_t length, off_t phys_addr);
int pf_mmio_unmap(void* base, size_t length);
uint32_t pf_mmio_read32(void* base, size_t offset);
void pf_mmio_write32(void* base, size_t offset, uint32_t value);

// Time and sleeping. pf_usleep and pf_sleep return early when a signal arrives, as the real
// calls do (pf_usleep then gives -1 with EINTR, pf_sleep the seconds left).
int pf_usleep(unsigned long usec);
unsigned pf_sleep(unsigned seconds);
time_t pf_time();
int pf_clock_gettime(struct timespec* ts);  // wall-clock time

// Process and signals.
pid_t pf_getpid();
uid_t pf_geteuid();
int pf_sigaction(int sig, const struct sigaction* act, struct sigaction* old);

// The system log.
void pf_syslog(int priority, const char* message);
