// Starts the lookup tool at a cost that does not grow with the descriptors
// this process has open.
//
// posix_spawn (like fork) copies the caller's whole descriptor table into
// the child, where all of it but three is closed again: in a bulk run with
// thousands of connections open that copy and close was a large share of
// every lookup's CPU. So the child is made as posix_spawn makes it
// (clone(CLONE_VM | CLONE_VFORK): no copy of our memory, we wait until it
// has exec'd), but sharing our descriptor table instead of copying it, and
// its first act is close_range(0, ~0U, CLOSE_RANGE_UNSHARE): the kernel
// gives it a table of its own holding nothing, copying nothing. It then
// opens its three descriptors itself: /dev/null, the pipe (reopened through
// /proc, the one way to reach a descriptor of ours from an empty table),
// /dev/null again. Where the kernel or /proc does not allow that, starts
// go back to posix_spawn for the rest of the process's life.
#include "platform/posix/spawn.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

// The child's signal work uses rt_sigaction's own record and a 64-signal
// mask; elsewhere every start takes posix_spawn's way.
#if defined(__x86_64__) || defined(__aarch64__)
#define VERIMEX_UNSHARED_START 1
#else
#define VERIMEX_UNSHARED_START 0
#endif

namespace verimex::platform::posix {

namespace {

// Set once a start has found the unshared way closed here; only a bench
// clears it.
std::atomic<bool> copying{false};

// ---- posix_spawn: the copying way ---------------------------------------

// posix_spawn's attribute and file-action records, released on every path.
struct SpawnActions {
    posix_spawn_file_actions_t actions;
    int error;
    SpawnActions() : error(posix_spawn_file_actions_init(&actions)) {}
    ~SpawnActions()
    {
        if (error == 0)
            posix_spawn_file_actions_destroy(&actions);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    int error;
    SpawnAttributes() : error(posix_spawnattr_init(&attributes)) {}
    ~SpawnAttributes()
    {
        if (error == 0)
            posix_spawnattr_destroy(&attributes);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

// The tool starts with no blocked signals and every signal at its default:
// a host that blocks or ignores signals (SIGPIPE is often ignored) would
// otherwise hand that on through exec, and a tool whose output we stopped
// reading should die of SIGPIPE rather than linger.
int clean_signals(posix_spawnattr_t& attributes)
{
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    int error = posix_spawnattr_setsigmask(&attributes, &none);
    if (error == 0)
        error = posix_spawnattr_setsigdefault(&attributes, &all);
    if (error == 0)
        error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    return error;
}

Started spawn_copying(char* const argv[], int out)
{
    Started started;
    SpawnActions fa;
    if (fa.error != 0) {
        started.error = fa.error;
        return started;
    }
    // dup2 onto 1 clears close-on-exec there; closefrom then drops every
    // other descriptor the host has open, close-on-exec or not.
    int error = posix_spawn_file_actions_addopen(&fa.actions, 0, "/dev/null", O_RDONLY, 0);
    if (error == 0)
        error = posix_spawn_file_actions_adddup2(&fa.actions, out, 1);
    if (error == 0)
        error = posix_spawn_file_actions_addopen(&fa.actions, 2, "/dev/null", O_WRONLY, 0);
    if (error == 0)
        error = posix_spawn_file_actions_addclosefrom_np(&fa.actions, 3);
    SpawnAttributes sa;
    if (error == 0)
        error = sa.error != 0 ? sa.error : clean_signals(sa.attributes);
    pid_t pid = 0;
    if (error == 0)
        error = posix_spawnp(&pid, argv[0], &fa.actions, &sa.attributes, argv, environ);
    if (error != 0) {
        started.error = error;
        return started;
    }
    started.pid = pid;
    // NOTE: posix_spawn hands out no process descriptor, so one is opened
    // for the number at once; until a host reaps the child it cannot be
    // another process. pidfd_open makes it close-on-exec.
    // NOTE: by system call: glibc 2.36's <sys/pidfd.h> is not usable from
    // C++ (its declarations lack C linkage).
    started.pidfd = Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    return started;
}

#if VERIMEX_UNSHARED_START

// ---- clone with a table of the child's own: the unshared way -------------

// What execvp would try for file, in order: the file itself when it names
// a path, else each folder of PATH (the system's default list when PATH is
// unset; an empty entry is the current folder). A name too long for the
// system is the kernel's to refuse, at the first try, as with execvp.
struct Search {
    std::vector<std::string> paths;
    int error = 0;
};

Search search_path(std::string_view file)
{
    Search s;
    if (file.empty()) {
        s.error = ENOENT;
        return s;
    }
    if (file.find('/') != std::string_view::npos) {
        s.paths.emplace_back(file);
        return s;
    }
    const char* path = std::getenv("PATH");
    std::string_view list = path ? path : "/bin:/usr/bin";
    for (;;) {
        const std::size_t colon = list.find(':');
        const std::string_view dir = list.substr(0, colon);
        s.paths.push_back(dir.empty() ? std::string(file) : std::string(dir) + "/" + std::string(file));
        if (colon == std::string_view::npos)
            break;
        list.remove_prefix(colon + 1);
    }
    return s;
}

// Everything the child needs, on our stack; the child writes back only
// why it ended without running the program.
struct ChildPlan {
    const char* const* paths;  // to try in order, null-terminated
    char* const* argv;
    char* const* envp;
    char pipe_path[64];  // /proc/TID/fd/N: our end for its output
    dev_t pipe_dev;
    ino_t pipe_ino;
    enum class Outcome : int { ran, no_own_table, failed };
    Outcome outcome;
    int error;
};

// rt_sigaction's record, which glibc's sigaction() does not take for the
// two signals it keeps for itself (cancellation and set*id).
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    std::uint64_t mask;
};
constexpr unsigned long kernel_mask_bytes = sizeof(std::uint64_t);
constexpr int signal_count = 64;
constexpr int glibc_cancel_signal = 32, glibc_setxid_signal = 33;

// The child runs on our memory until it execs, with our thread's errno and
// the sanitizers' thread state: it makes system calls only, and no
// sanitizer looks at it.
#define VERIMEX_CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined")))

[[noreturn]] VERIMEX_CHILD_CODE void child_ends(ChildPlan& plan, ChildPlan::Outcome outcome, int error)
{
    plan.outcome = outcome;
    plan.error = error;
    ::syscall(SYS_exit_group, 127);
    __builtin_unreachable();
}

VERIMEX_CHILD_CODE int run_child(void* arg)
{
    ChildPlan& plan = *static_cast<ChildPlan*>(arg);
    // Until this call the descriptor table is our parent's, which its
    // other threads go on using: nothing may be opened or closed before.
    if (::syscall(SYS_close_range, 0u, ~0u, CLOSE_RANGE_UNSHARE) != 0)
        child_ends(plan, ChildPlan::Outcome::no_own_table, errno);
    // The table is empty, so each open takes the lowest number free.
    if (::syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY) != 0)
        child_ends(plan, ChildPlan::Outcome::failed, errno);
    if (::syscall(SYS_openat, AT_FDCWD, plan.pipe_path, O_WRONLY) != 1)
        child_ends(plan, ChildPlan::Outcome::no_own_table, errno);
    // /proc could belong to another pid namespace, where the number is
    // another process: only our own pipe will do.
    struct stat st;
    if (::syscall(SYS_fstat, 1, &st) != 0 || st.st_dev != plan.pipe_dev || st.st_ino != plan.pipe_ino)
        child_ends(plan, ChildPlan::Outcome::no_own_table, 0);
    if (::syscall(SYS_openat, AT_FDCWD, "/dev/null", O_WRONLY) != 2)
        child_ends(plan, ChildPlan::Outcome::failed, errno);

    // Every signal at its default before any is let through, so that no
    // handler of ours runs here; glibc's own two go on ignored, as
    // posix_spawn hands them on.
    for (int sig = 1; sig <= signal_count; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        KernelSigaction action{};
        action.handler = sig == glibc_cancel_signal || sig == glibc_setxid_signal ? SIG_IGN : SIG_DFL;
        ::syscall(SYS_rt_sigaction, sig, &action, nullptr, kernel_mask_bytes);
    }
    const std::uint64_t none = 0;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, kernel_mask_bytes);

    // As execvp: a folder that lacks the program, or cannot be searched,
    // sends us on to the next; a program found but not executable is
    // EACCES in the end; any other failure ends the search.
    int error = ENOENT;
    bool denied = false;
    for (const char* const* path = plan.paths; *path; ++path) {
        ::syscall(SYS_execve, *path, plan.argv, plan.envp);
        error = errno;
        switch (error) {
        case EACCES:
            denied = true;
            continue;
        case ENOENT:
        case ESTALE:
        case ENOTDIR:
        case ENODEV:
        case ETIMEDOUT:
            continue;
        default:
            child_ends(plan, ChildPlan::Outcome::failed, error);
        }
    }
    child_ends(plan, ChildPlan::Outcome::failed, denied ? EACCES : error);
}

// Stacks for the children to run on until they exec, kept for reuse:
// mapping and unmapping one per start would cost every CPU running one of
// our threads an interruption (the unmap's TLB shootdown). A stack comes
// with a guard page under it; the pool holds as many as there were starts
// at one time, and lives as long as the process (threads may start
// children until its very end).
class StackPool {
public:
    static constexpr std::size_t usable = 32 * 1024;

    void* take(int& error)
    {
        {
            std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                void* stack = free_.back();
                free_.pop_back();
                return stack;
            }
        }
        const std::size_t guard = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        void* base = ::mmap(nullptr, guard + usable, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                            -1, 0);
        if (base == MAP_FAILED) {
            error = errno;
            return nullptr;
        }
        if (::mprotect(base, guard, PROT_NONE) != 0) {
            error = errno;
            ::munmap(base, guard + usable);
            return nullptr;
        }
        return static_cast<char*>(base) + guard;
    }

    void give(void* stack)
    {
        std::lock_guard lock(mutex_);
        free_.push_back(stack);
    }

private:
    std::mutex mutex_;
    std::vector<void*> free_;  // guarded by mutex_
};

StackPool& stacks()
{
    static StackPool& pool = *new StackPool;
    return pool;
}

class ChildStack {
public:
    ChildStack() : low_(stacks().take(error_)) {}
    ~ChildStack()
    {
        if (low_)
            stacks().give(low_);
    }
    ChildStack(const ChildStack&) = delete;
    ChildStack& operator=(const ChildStack&) = delete;
    explicit operator bool() const { return low_ != nullptr; }
    int error() const { return error_; }
    // Stacks grow down on the architectures built for here.
    void* top() const { return static_cast<char*>(low_) + StackPool::usable; }

private:
    int error_ = 0;
    void* low_;
};

// Our thread runs no signal handler and cannot be cancelled while the
// child shares its memory: a handler of ours could run in the child, and
// a cancellation could end the thread whose stack the child's plan is on.
class QuietThread {
public:
    QuietThread()
    {
        ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state_);
        // By system call: sigprocmask would leave glibc's own two open.
        const std::uint64_t all = ~std::uint64_t{0};
        ::syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, &mask_, kernel_mask_bytes);
    }
    ~QuietThread()
    {
        ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &mask_, nullptr, kernel_mask_bytes);
        ::pthread_setcancelstate(cancel_state_, nullptr);
    }
    QuietThread(const QuietThread&) = delete;
    QuietThread& operator=(const QuietThread&) = delete;

private:
    int cancel_state_ = 0;
    std::uint64_t mask_ = 0;
};

// glibc's clone. ThreadSanitizer takes every clone for a fork, which this
// one is not (the child shares our memory until it execs, and runs no
// instrumented code): it would rework its own state from inside the child,
// in our memory, and refuse to start threads afterwards, as after a fork
// of a threaded process. So in such a build the call goes past it.
using CloneCall = int (*)(int (*)(void*), void*, int, void*, ...);
CloneCall glibc_clone()
{
#if defined(__SANITIZE_THREAD__)
    static const CloneCall call = [] {
        void* libc = ::dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
        void* found = libc ? ::dlsym(libc, "clone") : nullptr;
        return found ? reinterpret_cast<CloneCall>(found) : &::clone;
    }();
    return call;
#else
    return &::clone;
#endif
}

// A child that ended before running the program: reaped at once, so its
// number is never left for a host's own wait to find.
void reap_now(const Fd& pidfd, pid_t pid)
{
    siginfo_t info{};
    int r;
    do
        r = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd.get()), &info, WEXITED);
    while (r < 0 && errno == EINTR);
    if (r < 0 && errno == EINVAL) {  // waitid on a process descriptor came in Linux 5.4
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

// The start on a table of the child's own. closed is set when this kernel
// or /proc cannot make one, and nothing was started.
Started start_unshared(char* const argv[], int out, bool& closed)
{
    Started started;
    const Search search = search_path(argv[0]);
    if (search.paths.empty()) {
        started.error = search.error;
        return started;
    }
    std::vector<const char*> paths;
    paths.reserve(search.paths.size() + 1);
    for (const std::string& p : search.paths)
        paths.push_back(p.c_str());
    paths.push_back(nullptr);

    ChildPlan plan{};
    plan.paths = paths.data();
    plan.argv = argv;
    plan.envp = environ;
    struct stat st {};
    if (::fstat(out, &st) != 0) {
        started.error = errno;
        return started;
    }
    plan.pipe_dev = st.st_dev;
    plan.pipe_ino = st.st_ino;
    // This thread's table (a host thread may have unshared its own).
    const std::string pipe_path = "/proc/" + std::to_string(::gettid()) + "/fd/" + std::to_string(out);
    pipe_path.copy(plan.pipe_path, sizeof plan.pipe_path - 1);
    plan.outcome = ChildPlan::Outcome::ran;

    const ChildStack stack;
    if (!stack) {
        started.error = stack.error();
        return started;
    }
    int pidfd = -1;
    pid_t pid;
    int clone_error;
    {
        const QuietThread quiet;
        pid = glibc_clone()(run_child, stack.top(), CLONE_VM | CLONE_VFORK | CLONE_FILES | CLONE_PIDFD | SIGCHLD,
                            &plan, &pidfd);
        clone_error = errno;
    }
    if (pid < 0) {
        // Before Linux 5.2 the kernel refuses CLONE_PIDFD; a system call
        // filter (a container's) may refuse these flags where it lets
        // posix_spawn's own through.
        if (clone_error == EINVAL || clone_error == EPERM || clone_error == ENOSYS)
            closed = true;
        else
            started.error = clone_error;
        return started;
    }
    Fd process(pidfd);
    // CLONE_VFORK: the child has exec'd or ended by now, and told us which.
    if (plan.outcome != ChildPlan::Outcome::ran) {
        reap_now(process, pid);
        if (plan.outcome == ChildPlan::Outcome::no_own_table)
            closed = true;
        else
            started.error = plan.error;
        return started;
    }
    started.pid = pid;
    started.pidfd = std::move(process);
    return started;
}

#endif  // VERIMEX_UNSHARED_START

}  // namespace

Started start_program(char* const argv[], int out)
{
#if VERIMEX_UNSHARED_START
    if (!copying.load(std::memory_order_relaxed)) {
        bool closed = false;
        Started started = start_unshared(argv, out, closed);
        if (!closed)
            return started;
        copying.store(true, std::memory_order_relaxed);
    }
#else
    copying.store(true, std::memory_order_relaxed);
#endif
    return spawn_copying(argv, out);
}

bool starts_copy_descriptors()
{
    return copying.load(std::memory_order_relaxed);
}

void set_starts_copy_descriptors(bool copy)
{
    copying.store(copy, std::memory_order_relaxed);
}

}  // namespace verimex::platform::posix
