// The stop signals and the threads they are kept away from.
#include "verimex/hosting/signals.h"

#include <pthread.h>

namespace verimex::hosting {

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void keep_stop_signals_away() noexcept
{
    const sigset_t set = stop_signals();
    // NOTE: fails only for an unknown first argument; and should it fail,
    // the handler merely runs on this thread now and then, which costs an
    // EINTR the library retries, not a wrong result.
    (void)::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace verimex::hosting
