// The daemon's log lines. Each ends with a trailer naming the function, the source unit
// (log_unit, defined by each unit) and the line of the logging statement.
#pragma once

#include "libqvstd/qvstd.h"
#include "platform/platform.h"

#include <cstdio>

// A notice line, always printed: fmt is "[%s %d] TEXT...==func:%s file:%s line:%d\n".
#define WD_NOTICE_AS(func, fmt, ...)                                                          \
    do {                                                                                      \
        char wd_time_[32] = {};                                                               \
        time_to_string(pf_time(), wd_time_, sizeof wd_time_);                                 \
        printf(fmt, wd_time_, static_cast<int>(pf_getpid()) __VA_OPT__(, ) __VA_ARGS__, func, \
               log_unit, __LINE__);                                                           \
    } while (0)
#define WD_NOTICE(fmt, ...) WD_NOTICE_AS(__func__, fmt __VA_OPT__(, ) __VA_ARGS__)

// An error line: a red console copy and a system-log copy, each only while the debug mask is
// positive (asked afresh for each copy). console_fmt starts with "[%s%s %d] ", log_fmt has
// the text and the trailer only.
#define WD_ERROR(console_fmt, log_fmt, ...)                                                     \
    do {                                                                                        \
        if (debug_get_mask() > 0) {                                                             \
            char wd_time_[32] = {};                                                             \
            time_to_string_ms(wd_time_, sizeof wd_time_);                                       \
            printf(console_fmt, "ERR:", wd_time_,                                               \
                   static_cast<int>(pf_getpid()) __VA_OPT__(, ) __VA_ARGS__, __func__,          \
                   log_unit, __LINE__);                                                         \
        }                                                                                       \
        if (debug_get_mask() > 0) {                                                             \
            char wd_line_[1024] = {};                                                           \
            snprintf(wd_line_, sizeof wd_line_, log_fmt __VA_OPT__(, ) __VA_ARGS__, __func__,   \
                     log_unit, __LINE__);                                                       \
            _qv_log("ERR:", wd_line_);                                                          \
        }                                                                                       \
    } while (0)
