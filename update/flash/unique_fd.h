// A descriptor that is closed on every path out of the scope that opened it.
#pragma once

#include "platform/platform.h"

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd& operator=(UniqueFd&& other)
    {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    void reset()
    {
        if (fd_ >= 0)
            pf_close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};
