// A descriptor that is closed on every path out of the scope that opened it.
#pragma once

#include "platform/platform.h"

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { close(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd& operator=(UniqueFd&& other)
    {
        if (this != &other) {
            close();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Closes now, for callers that must report a failed close; 0 when nothing was open.
    int close()
    {
        if (fd_ < 0)
            return 0;
        int r = pf_close(fd_);
        fd_ = -1;
        return r;
    }

private:
    int fd_;
};
