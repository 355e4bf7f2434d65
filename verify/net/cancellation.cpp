// verimex::cancellation: the stop request shared by checks in flight.
#include "verify/net/cancellation.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace verimex {

cancellation::cancellation() : impl_(std::make_unique<impl>())
{
    impl_->event = platform::posix::Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!impl_->event)
        throw std::system_error(errno, std::generic_category(), "verimex: eventfd for a cancellation");
}

cancellation::~cancellation() = default;

void cancellation::request()
{
    if (impl_->flag.exchange(true))
        return;
    const std::uint64_t one = 1;
    // Cannot fail short of a counter overflow, which one write never
    // reaches; the flag is set either way.
    [[maybe_unused]] const ssize_t n = ::write(impl_->event.get(), &one, sizeof one);
}

bool cancellation::requested() const
{
    return impl_->flag.load();
}

}  // namespace verimex
