// Descriptor and thread-stack limits for verimex-check's bulk runs.
#include "verimex/hosting/resources.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VERIMEX_CHECK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VERIMEX_CHECK_SANITIZED 1
#endif
#endif
#ifndef VERIMEX_CHECK_SANITIZED
#define VERIMEX_CHECK_SANITIZED 0
#endif

namespace verimex::hosting {

std::size_t raise_descriptor_limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        // Refused (a hard limit of "unlimited" is not a number the kernel
        // takes for descriptors): the soft limit stays what it was.
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(limit.rlim_cur);
}

std::size_t open_descriptors()
{
    std::size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        ::closedir(dir);
        // The directory's own descriptor was counted too.
        if (count > 0)
            --count;
    }
    return count;
}

unsigned checks_within(std::size_t limit, std::size_t open, unsigned asked)
{
    const std::size_t taken = open + descriptors_reserved;
    const std::size_t room = limit > taken ? (limit - taken) / descriptors_per_check : 0;
    return static_cast<unsigned>(std::clamp<std::size_t>(room, 1, asked));
}

unsigned ready_for_checks(unsigned jobs, unsigned asked, std::string& notice)
{
    use_small_thread_stacks();
    const std::size_t limit = raise_descriptor_limit();
    const unsigned at_once = checks_within(limit, open_descriptors(), asked);
    notice.clear();
    if (at_once < asked)
        notice = "-j " + std::to_string(jobs) + ": only " + std::to_string(limit) +
                 " file descriptors may be open, enough for " + std::to_string(at_once) +
                 " checks at a time; checking " + std::to_string(at_once) + " at a time";
    return at_once;
}

void use_small_thread_stacks()
{
    if (VERIMEX_CHECK_SANITIZED)
        return;
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0)
        return;
    // Best effort: without it threads get the default stack.
    if (::pthread_attr_setstacksize(&attributes, worker_stack_bytes) == 0)
        ::pthread_setattr_default_np(&attributes);
    ::pthread_attr_destroy(&attributes);
}

}  // namespace verimex::hosting
