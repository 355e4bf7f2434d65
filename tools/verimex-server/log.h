// verimex-server's log on standard error: one line per request (the access
// line) and one per job event, as plain key=value text or as JSON objects.
// Either way each record is one line without a time stamp of its own, as
// journald wants it (it stamps each line itself).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace verimex_server {

enum class LogFormat { plain, json };

// "plain" or "json".
std::optional<LogFormat> log_format(std::string_view name);

// A field's value: text (quoted as needed) or a number.
struct LogValue {
    LogValue(std::string_view t) : text(t) {}
    LogValue(const std::string& t) : text(t) {}
    LogValue(const char* t) : text(t) {}
    LogValue(std::uint64_t n) : number(n), is_number(true) {}
    LogValue(int n) : number(static_cast<std::uint64_t>(n < 0 ? 0 : n)), is_number(true) {}
    LogValue(bool b) : text(b ? "true" : "false"), is_bool(true) {}
    std::string_view text;
    std::uint64_t number = 0;
    bool is_number = false;
    bool is_bool = false;
};
using LogFields = std::vector<std::pair<std::string_view, LogValue>>;

// One record as its line, final line end included. Texts come from
// clients and mail servers: control characters, quotes and bytes that are
// not UTF-8 are escaped (plain) or replaced (JSON), so that no value can
// end its line or forge another record.
std::string log_line(LogFormat format, std::string_view event, const LogFields& fields);

class Log {
public:
    explicit Log(LogFormat format, std::FILE* stream = stderr) : format_(format), stream_(stream) {}

    // A request answered: its method, its path (without the query, which
    // may hold addresses), status, bytes of the reply body, time taken.
    void access(std::string_view method, std::string_view path, int status, std::uint64_t bytes,
                std::chrono::milliseconds took);

    // Anything that happened to a job: "job_added", "job_removed",
    // "job_check", ...; each record one line, written whole.
    void event(std::string_view event, const LogFields& fields);

private:
    LogFormat format_;
    std::FILE* stream_;
    std::mutex mutex_;
};

}  // namespace verimex_server
