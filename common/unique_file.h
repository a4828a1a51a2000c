// A stdio stream that is closed on every path out of the scope that opened it.
#pragma once

#include <cstdio>

class UniqueFile {
public:
    explicit UniqueFile(FILE* f) : f_(f) {}
    ~UniqueFile()
    {
        if (f_)
            fclose(f_);
    }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;

private:
    FILE* f_;
};
