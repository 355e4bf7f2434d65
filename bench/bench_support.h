// What every bench program shares: clocks for wall and CPU time, sample
// statistics, the Markdown tables the benches print (scripts/bench gathers
// them into BENCHMARKS.md), and the line each measured target leaves for the
// summary at the top of that file.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/posix/process.h"

namespace verimex::bench {

using Clock = std::chrono::steady_clock;

inline double ms_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// CPU time of the calling thread, in milliseconds.
inline double thread_cpu_ms()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

inline double timeval_ms(const timeval& tv)
{
    return static_cast<double>(tv.tv_sec) * 1e3 + static_cast<double>(tv.tv_usec) / 1e3;
}

// CPU time of every child reaped so far (user + system), in milliseconds.
inline double children_cpu_ms()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return timeval_ms(usage.ru_utime) + timeval_ms(usage.ru_stime);
}

// The library reaps its lookup children without blocking, at the next
// lookup or yield; a child's CPU time counts only once it is reaped, so a
// bench that wants it waits here, outside its timed part.
inline void reap_lookup_children()
{
    using namespace std::chrono_literals;
    const auto give_up = Clock::now() + 10s;
    while (platform::posix::unreaped_children() > 0 && Clock::now() < give_up) {
        platform::posix::reap_children();
        std::this_thread::sleep_for(200us);
    }
}

// Waits for children the bench started itself (not through the library).
inline void reap_own_children(std::vector<pid_t>& pids)
{
    for (pid_t pid : pids) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pids.clear();
}

class Samples {
public:
    void add(double v) { values_.push_back(v); }
    std::size_t size() const { return values_.size(); }
    bool empty() const { return values_.empty(); }
    // p in [0, 1], nearest rank.
    double percentile(double p) const
    {
        if (values_.empty())
            return std::nan("");
        std::vector<double> v = values_;
        std::sort(v.begin(), v.end());
        const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
        return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
    }
    double median() const { return percentile(0.5); }
    double max() const { return percentile(1.0); }
    double mean() const
    {
        double sum = 0;
        for (double v : values_)
            sum += v;
        return values_.empty() ? std::nan("") : sum / static_cast<double>(values_.size());
    }

private:
    std::vector<double> values_;
};

inline std::string fixed(double v, int digits)
{
    if (std::isnan(v))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

inline void heading(std::string_view title)
{
    std::printf("\n### %.*s\n\n", static_cast<int>(title.size()), title.data());
}

// A paragraph under a table: how it was measured, what it means.
inline void note(std::string_view text)
{
    std::printf("\n%.*s\n", static_cast<int>(text.size()), text.data());
}

class Table {
public:
    explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
    void add(std::vector<std::string> row)
    {
        row.resize(header_.size());
        rows_.push_back(std::move(row));
    }
    void print() const
    {
        print_row(header_);
        std::string rule = "|";
        for (std::size_t i = 0; i < header_.size(); ++i)
            rule += i == 0 ? "---|" : "---:|";
        std::printf("%s\n", rule.c_str());
        for (const auto& row : rows_)
            print_row(row);
        std::fflush(stdout);
    }

private:
    static void print_row(const std::vector<std::string>& cells)
    {
        std::string line = "|";
        for (const std::string& c : cells)
            line += " " + c + " |";
        std::printf("%s\n", line.c_str());
    }

    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};

// Where a goal comes from: the project's own targets for speed and memory,
// or a yardstick a bench adds to make its table easier to read (the floor
// of starting a program, a sanity check that every check verified).
enum class Goal { project, yardstick };

// One measured target: shown by the bench, and appended as a tab-separated
// line to the file named by VERIMEX_BENCH_TARGETS (when set), from which
// scripts/bench builds the summary tables.
inline std::string target(std::string_view what, std::string_view measured, std::string_view goal, bool met,
                          Goal kind = Goal::project)
{
    if (const char* path = std::getenv("VERIMEX_BENCH_TARGETS"); path && *path) {
        std::ofstream out(path, std::ios::app);
        out << what << '\t' << measured << '\t' << goal << '\t' << (met ? "met" : "MISSED") << '\t'
            << (kind == Goal::project ? "project" : "yardstick") << '\n';
    }
    return met ? "met" : "**MISSED**";
}

}  // namespace verimex::bench
