// display-loss-test: zlib licence, see LICENSE.

#include "ending_signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace
{

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
struct sigaction previous_actions[std::size(ending_signals)];
pthread_t main_thread;
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> ending_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<bool> passing_on{false};

void end_by(int signal)
{
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal, &default_action, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, signal);
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    raise(signal);
}

// Passed on to the main thread where one of the library's threads took it:
// the main thread is the one that may be blocked writing standard output.
// There, installed without SA_RESTART, it makes that write return; and
// standard output that cannot take a line now is pointed at /dev/null, so
// that no later write blocks either, should the signal come just before one:
// its reader has stopped reading, and the run is ending.
//
// Neither the main thread's copy of a signal passed on, nor a SIGPIPE (a
// write to a pipe whose reader has gone raises it, not the user), counts as
// the second signal.
extern "C" void record_signal(int signal)
{
    const int saved_errno = errno;
    const bool on_main_thread = pthread_equal(pthread_self(), main_thread);
    const bool passed_on = on_main_thread && passing_on.exchange(false);
    if (ending_signal != 0 && !passed_on && signal != SIGPIPE)
        end_by(signal);
    int none = 0;
    ending_signal.compare_exchange_strong(none, signal);
    if (!on_main_thread) {
        passing_on = true;
        pthread_kill(main_thread, signal);
    } else {
        pollfd output = {STDOUT_FILENO, POLLOUT, 0};
        const int null =
            poll(&output, 1, 0) == 0 ? open("/dev/null", O_WRONLY) : -1;
        if (null != -1) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    errno = saved_errno;
}

} // namespace

void catch_ending_signals()
{
    struct sigaction action = {};
    action.sa_handler = record_signal;
    sigemptyset(&action.sa_mask);
    main_thread = pthread_self();
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        sigaction(ending_signals[i], nullptr, &previous_actions[i]);
        if (previous_actions[i].sa_handler != SIG_IGN)
            sigaction(ending_signals[i], &action, nullptr);
    }
}

bool ending_signal_caught()
{
    return ending_signal != 0;
}

void restore_ending_signals()
{
    for (std::size_t i = 0; i < std::size(ending_signals); ++i)
        sigaction(ending_signals[i], &previous_actions[i], nullptr);
    if (ending_signal != 0)
        raise(ending_signal);
}
