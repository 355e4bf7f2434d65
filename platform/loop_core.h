// What both event loops keep alike: the clock, the sources a pass lets
// advance, the timers and their registration, the factories that hand out
// the platform's timer and socket, and letting go of all of them when the
// loop goes first. A platform's loop derives from
// LoopCore<Loop, LoopTimer, Source>, its timer from LoopTimerCore<Loop>, and
// each adds only how a pass waits and what the platform registers.
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
// TickHandler), a LoopTimerCore<Derived>. SourceType: what its passes let
// advance, with detach().
template <class Derived, class TimerType, class SourceType>
class LoopCore : public EventLoop {
public:
    explicit LoopCore(Clock& clock) : clock_(clock) {}
    LoopCore(const LoopCore&) = delete;
    LoopCore& operator=(const LoopCore&) = delete;
    // Whatever outlives the loop must not reach back into it. Nothing a
    // platform's destructor does before this runs reaches a source or a
    // timer, so letting go here, last, is soon enough for both.
    ~LoopCore() override { detach_all(); }

    std::unique_ptr<Timer> make_timer(TickHandler on_tick) override
    {
        return std::make_unique<TimerType>(self(), std::move(on_tick));
    }
    std::unique_ptr<SocketControl> make_socket() override { return make_tcp_socket(self()); }

    Clock& clock() { return clock_; }
    void add(SourceType& source) { sources_.push_back(&source); }
    void remove(SourceType& source) { std::erase(sources_, &source); }
    // Timers join and leave the loop's list themselves (LoopTimerCore).
    void add(ScheduledTimer& timer) { timers_.add(timer); }
    void remove(ScheduledTimer& timer) { timers_.remove(timer); }
    // Work was started or queued between passes (a connect, a send): the
    // following passes must not pause before they have looked at it.
    void wake() { idle_passes_ = 0; }

protected:
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

// A periodic timer of one loop: the shared schedule on the loop's clock,
// in the loop's list from construction until it is destroyed or the loop
// goes first (detach). A platform's timer derives from it to add its alarm.
template <class LoopType>
class LoopTimerCore : public ScheduledTimer {
public:
    LoopTimerCore(LoopType& loop, TickHandler on_tick)
        : ScheduledTimer(loop.clock(), std::move(on_tick)), loop_(&loop)
    {
        loop.add(*this);
    }
    LoopTimerCore(const LoopTimerCore&) = delete;
    LoopTimerCore& operator=(const LoopTimerCore&) = delete;
    ~LoopTimerCore() override
    {
        if (loop_)
            loop_->remove(*this);
    }

    void detach() { loop_ = nullptr; }

protected:
    // Null once the loop has gone.
    LoopType* loop_;
};

}  // namespace verimex::platform
