// The tick loop, the signal protocol, the liveness check of qvserver and the up-time report.
#include "common/unique_file.h"
#include "libqvstd/qvstd.h"
#include "platform/platform.h"
#include "watchdog/log.h"
#include "watchdog/watchdog.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

std::atomic<int> exit_flag{0};
std::atomic<int> pause_ticks{0};
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<unsigned>::is_always_lock_free);

namespace {

constexpr char log_unit[] = "main";
constexpr unsigned long tick_usec = 100000;
constexpr int keepalive_period = 50;
constexpr int check_period = 600;
constexpr int suspension_ticks = 1800;
constexpr const char* app_pid_file = "/tmp/qvserver";
constexpr const char* uptime_file = "/proc/uptime";
constexpr std::array<int, 4> handled_signals{SIGINT, SIGTERM, SIGUSR1, SIGUSR2};

// Signals that arrived and still wait for the main flow, in order of arrival. The handler is
// the only producer (it runs with the four signals blocked), the main flow the only consumer.
constexpr unsigned arrived_capacity = 256;
std::array<std::atomic<int>, arrived_capacity> arrived;
std::atomic<unsigned> arrived_head{0};
std::atomic<unsigned> arrived_tail{0};
// A signal that found the queue full loses its notice lines, not its effect.
std::atomic<int> lost_usr1{0};
std::atomic<int> lost_usr2{0};
std::atomic<int> lost_stop{0};

// The main flow's account of the suspension, with the signals handled so far applied in the
// order they arrived. pause_ticks itself may already show a SIGUSR2 that is still queued;
// deciding from it would let a SIGUSR1 queued before that SIGUSR2 skip its wait.
int suspension = 0;
bool request_waiting = false;
bool stopping = false;

// A waiting suspension request goes ahead once no suspension runs; a stopping daemon drops it.
void carry_out_request()
{
    if (!request_waiting || suspension != 0 || stopping)
        return;
    request_waiting = false;
    qv_system("killall -USR1 qvserver");
    suspension = suspension_ticks;
}

void handle_arrived(int sig)
{
    WD_NOTICE_AS("signal_handler", "[%s %d] recv signal %d==func:%s file:%s line:%d\n", sig);
    if (sig == SIGINT || sig == SIGTERM) {
        stopping = true;
    } else if (sig == SIGUSR1) {
        WD_NOTICE_AS("signal_handler", "[%s %d] user1 signal.==func:%s file:%s line:%d\n");
        request_waiting = true;  // a second request merges into a waiting one
        carry_out_request();
    } else if (sig == SIGUSR2) {
        WD_NOTICE_AS("signal_handler", "[%s %d] user2 signal.==func:%s file:%s line:%d\n");
        suspension = 0;
        carry_out_request();
    }
}

// The leading decimal number after any blanks; a sign is no digit, so "-5" gives 0. Clamped at
// LONG_MAX.
long leading_long(const char* text)
{
    text += strspn(text, " \t\n\v\f\r");
    long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value > (LONG_MAX - (*text - '0')) / 10 ? LONG_MAX : value * 10 + (*text - '0');
    return value;
}

}  // namespace

void signal_handler(int sig)
{
    unsigned head = arrived_head.load(std::memory_order_relaxed);
    if (head - arrived_tail.load(std::memory_order_acquire) < arrived_capacity) {
        arrived[head % arrived_capacity].store(sig, std::memory_order_relaxed);
        arrived_head.store(head + 1, std::memory_order_release);
    } else if (sig == SIGUSR1) {
        lost_usr1.store(1);
    } else if (sig == SIGUSR2) {
        lost_usr2.store(1);
    } else if (sig == SIGINT || sig == SIGTERM) {
        lost_stop.store(1);
    }
    if (sig == SIGINT || sig == SIGTERM)
        exit_flag.store(1);
    else if (sig == SIGUSR2)
        pause_ticks.store(0);
}

void signal_setup()
{
    struct sigaction sa {};
    sa.sa_handler = signal_handler;
    sigemptyset(&sa.sa_mask);
    for (int sig : handled_signals)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : handled_signals)
        pf_sigaction(sig, &sa, nullptr);
}

void signal_dispatch()
{
    for (;;) {
        unsigned head = arrived_head.load(std::memory_order_acquire);
        for (unsigned tail = arrived_tail.load(std::memory_order_relaxed); tail != head; ++tail) {
            handle_arrived(arrived[tail % arrived_capacity].load(std::memory_order_relaxed));
            arrived_tail.store(tail + 1, std::memory_order_release);
        }
        if (lost_stop.exchange(0))
            stopping = true;
        if (lost_usr2.exchange(0))
            suspension = 0;
        if (lost_usr1.exchange(0))
            request_waiting = true;
        carry_out_request();
        // A SIGUSR2 that lands after this store clears pause_ticks itself; one that landed
        // before it is in the queue, and the next round applies it again.
        pause_ticks.store(suspension);
        if (arrived_head.load(std::memory_order_acquire) == arrived_tail.load(std::memory_order_relaxed))
            return;
    }
}

void pause_count_down()
{
    int value = pause_ticks.load();
    while (value != 0 && !pause_ticks.compare_exchange_weak(value, value - 1)) {
    }
    if (suspension > 0)
        --suspension;
}

int is_directory(const char* path)
{
    struct stat st {};
    if (pf_stat(path, &st) != 0) {
        perror(path);
        return 0;
    }
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int app_is_alive()
{
    std::array<char, 32> text{};
    FILE* f = pf_fopen(app_pid_file, "r");
    if (!f)
        return 0;
    {
        UniqueFile closer(f);
        if (!fgets(text.data(), static_cast<int>(text.size()), f))
            text[0] = '\0';
    }
    if (text[0] == '\0')
        return 0;
    int pid = static_cast<int>(std::min<long>(leading_long(text.data()), INT_MAX));
    snprintf(text.data(), text.size(), "/proc/%d", pid);
    return is_directory(text.data());
}

int printf_sys_up_time()
{
    // Unreadable /proc/uptime shows as 0 seconds.
    std::array<char, 128> text{};
    if (FILE* f = pf_fopen(uptime_file, "r")) {
        UniqueFile closer(f);
        if (!fgets(text.data(), static_cast<int>(text.size()), f))
            text[0] = '\0';
    }
    char* word = text.data() + strspn(text.data(), " \t");
    word[strcspn(word, " \t\n")] = '\0';
    long s = leading_long(word);
    long days = s / 86400;
    long r = s % 86400;
    long hours = r / 3600;
    long r2 = r % 3600;
    long minutes = r2 / 60;
    long seconds = r2 % 60;
    WD_ERROR("[%s%s %d] \033[0;31m#########System up time :%ldday %ldhour %ld minute %ld second##########\033[0;39m ==func:%s file:%s line:%d\n",
             "#########System up time :%ldday %ldhour %ld minute %ld second##########==func:%s file:%s line:%d\n",
             days, hours, minutes, seconds);
    return 0;
}

#ifndef WATCHDOG_NO_MAIN
int main(int, char**)
{
    // Line by line, so that a log of our output is complete up to a hardware reset.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int tick = 0;
    signal_setup();
    if (watchdog_start() != 0)
        return -1;
    for (;;) {
        signal_dispatch();
        if (exit_flag.load())
            break;
        ++tick;
        if (tick % keepalive_period == 0)
            watchdog_feed();
        if (tick % check_period == 0 && pause_ticks.load() == 0 && app_is_alive() == 0) {
            WD_ERROR("[%s%s %d] \033[0;31mqvserver die.\033[0;39m ==func:%s file:%s line:%d\n",
                     "qvserver die.==func:%s file:%s line:%d\n");
            WD_ERROR("[%s%s %d] \033[0;31mqvserver die! reboot now...\033[0;39m ==func:%s file:%s line:%d\n",
                     "qvserver die! reboot now...==func:%s file:%s line:%d\n");
            printf_sys_up_time();
            qv_system("reboot &");
            // The device stays open: should the reboot hang, the hardware resets the camera.
            exit(0);
        }
        // Both periods divide 600: starting over there keeps the counter from overflowing.
        if (tick == check_period)
            tick = 0;
        pause_count_down();
        pf_usleep(tick_usec);
    }
    signal_dispatch();  // notices of a stop signal that came after the last round
    watchdog_close();
    return 0;
}
#endif
