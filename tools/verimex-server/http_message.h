// A request as the handlers see it, and the reply they fill in: plain
// values, with no socket behind them, so that a handler (and a test, and
// a fuzz target) needs nothing of the HTTP layer that read the request.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace verimex_server {

// Header field names compare without regard to case.
struct FieldLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

struct Request {
    std::string method;       // as sent: "GET", "HEAD", "POST", ...
    std::string target;       // the request target, as sent
    std::string path;         // its path, percent-decoded
    std::string body;         // read whole before a handler runs
    std::string remote_addr;  // the client's IP address
    // Of the route's "*" segment: [0] the whole path, [1] the segment.
    std::vector<std::string> matches;
    std::multimap<std::string, std::string, FieldLess> headers;
    // The query's parameters, percent-decoded, in order.
    std::multimap<std::string, std::string, std::less<>> params;
    // What the program holds for the request (a slot of a bounded
    // resource), let go once its reply is written or its connection cut.
    std::shared_ptr<void> hold;

    bool has_header(std::string_view name) const { return headers.find(name) != headers.end(); }
    // The first such field's value; "" when there is none.
    std::string get_header_value(std::string_view name) const;
    bool has_param(std::string_view name) const { return params.find(name) != params.end(); }
    // The first such parameter's value; "" when there is none.
    std::string get_param_value(std::string_view name) const;
};

// What a streamed reply writes its pieces to.
class DataSink {
public:
    virtual ~DataSink() = default;
    // False when the client is gone or too slow: stop writing then.
    virtual bool write(const char* data, std::size_t size) = 0;
    // The reply is complete.
    virtual void done() = 0;
};

// Writes a streamed reply's body on the request's thread; false cuts the
// connection (the head is out, so the client sees an incomplete reply).
using ContentProvider = std::function<bool(DataSink&)>;

struct Response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Type and the length
    std::string content_type;
    std::string body;
    ContentProvider provider;  // set: the body is written in chunks by it
    // The reply goes out after this wait (a brake on a client), which
    // holds no thread.
    std::chrono::milliseconds delay{0};

    void set_header(std::string name, std::string value);
    // The first such field's value; "" when there is none.
    std::string get_header_value(std::string_view name) const;
    void set_content(std::string text, std::string type)
    {
        body = std::move(text);
        content_type = std::move(type);
    }
    void set_content(const char* data, std::size_t size, std::string type)
    {
        set_content(std::string(data, size), std::move(type));
    }
    void set_chunked_content_provider(std::string type, ContentProvider write)
    {
        content_type = std::move(type);
        provider = std::move(write);
    }
};

}  // namespace verimex_server
