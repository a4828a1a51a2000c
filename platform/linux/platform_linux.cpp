// The Linux platform: every call goes straight to the C library and the kernel.
#include "platform/platform.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

int pf_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int pf_close(int fd) { return ::close(fd); }
ssize_t pf_read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }
ssize_t pf_write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
ssize_t pf_pread(int fd, void* buf, size_t count, off_t offset) { return ::pread(fd, buf, count, offset); }
ssize_t pf_pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    return ::pwrite(fd, buf, count, offset);
}
off_t pf_lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int pf_fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int pf_stat(const char* path, struct stat* st) { return ::stat(path, st); }
int pf_lstat(const char* path, struct stat* st) { return ::lstat(path, st); }
int pf_access(const char* path, int mode) { return ::access(path, mode); }
int pf_mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int pf_unlink(const char* path) { return ::unlink(path); }
int pf_ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
FILE* pf_fopen(const char* path, const char* mode) { return ::fopen(path, mode); }
int pf_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
int pf_ioctl_arg(int fd, unsigned long request, unsigned long arg) { return ::ioctl(fd, request, arg); }

int pf_system(const char* command) { return ::system(command); }
FILE* pf_popen(const char* command, const char* mode) { return ::popen(command, mode); }
int pf_pclose(FILE* stream) { return ::pclose(stream); }

void* pf_mmio_map(int fd, size_t length, off_t phys_addr)
{
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, phys_addr);
    return p == MAP_FAILED ? nullptr : p;
}
int pf_mmio_unmap(void* base, size_t length) { return ::munmap(base, length); }
uint32_t pf_mmio_read32(void* base, size_t offset)
{
    return *reinterpret_cast<volatile uint32_t*>(static_cast<char*>(base) + offset);
}
void pf_mmio_write32(void* base, size_t offset, uint32_t value)
{
    *reinterpret_cast<volatile uint32_t*>(static_cast<char*>(base) + offset) = value;
}

int pf_usleep(unsigned long usec) { return ::usleep(static_cast<useconds_t>(usec)); }
unsigned pf_sleep(unsigned seconds) { return ::sleep(seconds); }
time_t pf_time() { return ::time(nullptr); }
int pf_clock_gettime(struct timespec* ts) { return ::clock_gettime(CLOCK_REALTIME, ts); }

pid_t pf_getpid() { return ::getpid(); }
uid_t pf_geteuid() { return ::geteuid(); }
int pf_sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    return ::sigaction(sig, act, old);
}

void pf_syslog(int priority, const char* message) { ::syslog(priority, "%s", message); }
