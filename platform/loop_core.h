// What both event loops keep alike: the clock, the sources a pass lets
// advance, the timers, the factories that hand out the platform's timer and
// socket, and letting go of all of them when the loop goes first. A
// platform's loop derives from LoopCore<Loop, LoopTimer, Source> and adds
// only how a pass waits and what the platform registers.
#pragma once

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/timers.h"

namespace verimex::platform {

// Derived: the platform's loop, for which the platform defines
// make_tcp_socket(Derived&). TimerType: its timer, made from (Derived&,
// TickHandler), a ScheduledTimer with detach(). SourceType: what its passes
// let advance, with detach().
template <class Derived, class TimerType, class SourceType>
class LoopCore : public EventLoop {
public:
    explicit LoopCore(Clock& clock) : clock_(clock) {}
    LoopCore(const LoopCore&) = delete;
    LoopCore& operator=(const LoopCore&) = delete;
    ~LoopCore() override = default;

    std::unique_ptr<Timer> make_timer(TickHandler on_tick) override
    {
        return std::make_unique<TimerType>(self(), std::move(on_tick));
    }
    std::unique_ptr<SocketControl> make_socket() override { return make_tcp_socket(self()); }

    Clock& clock() { return clock_; }
    void add(SourceType& source) { sources_.push_back(&source); }
    void remove(SourceType& source) { std::erase(sources_, &source); }
    // Work was started or queued between passes (a connect, a send): the
    // following passes must not pause before they have looked at it.
    void wake() { idle_passes_ = 0; }

protected:
    // Whatever outlives the loop must not reach back into it: the first
    // thing a platform's destructor does.
    void detach_all()
    {
        for (SourceType* source : sources_)
            source->detach();
        for (ScheduledTimer* timer : timers_.all())
            static_cast<TimerType*>(timer)->detach();
    }

    // Whether socket is one of this loop's: only then can a wait hear of
    // its news.
    bool owns(const SocketControl& socket) const
    {
        const auto* source = dynamic_cast<const SourceType*>(&socket);
        return source && std::find(sources_.begin(), sources_.end(), source) != sources_.end();
    }

    Clock& clock_;
    std::vector<SourceType*> sources_;
    TimerList timers_;
    // Passes in a row that found nothing to do, and no work started since.
    int idle_passes_ = 0;

private:
    Derived& self() { return static_cast<Derived&>(*this); }
};

}  // namespace verimex::platform
