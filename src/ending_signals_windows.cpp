// display-loss-test: zlib licence, see LICENSE.

#include "ending_signals.h"

#include <atomic>
#include <csignal>
#include <iterator>

namespace
{

constexpr int ending_signals[] = {SIGINT, SIGTERM};
void (*previous_handlers[std::size(ending_signals)])(int);
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> ending_signal{0};

// The C runtime puts the default action back before it calls the handler, so
// the handler is put back for the first signal only.
extern "C" void record_signal(int signal)
{
    int none = 0;
    if (!ending_signal.compare_exchange_strong(none, signal)) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    std::signal(signal, record_signal);
}

} // namespace

void catch_ending_signals()
{
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        previous_handlers[i] = std::signal(ending_signals[i], record_signal);
        if (previous_handlers[i] == SIG_IGN)
            std::signal(ending_signals[i], SIG_IGN);
    }
}

bool ending_signal_caught()
{
    return ending_signal != 0;
}

void restore_ending_signals()
{
    for (std::size_t i = 0; i < std::size(ending_signals); ++i)
        std::signal(ending_signals[i], previous_handlers[i]);
    if (ending_signal != 0)
        std::raise(ending_signal);
}
