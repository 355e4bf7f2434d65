// The route table: every path the server answers, the methods it takes
// there, whether the token is asked for, and the handler of each method.
// The checks made before a request's body is read (path, method, token)
// and the handlers installed on the server both come from it, so the two
// cannot disagree.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http_message.h"

namespace verimex_server {

using Handler = std::function<void(const Request&, Response&)>;
// A handler that answers later: it calls done once res is filled, from any
// thread. It runs on the event loop, so it must not block.
using AsyncHandler = std::function<void(Request&, Response&, std::function<void()> done)>;

struct Endpoint {
    std::string method;  // GET stands for HEAD too
    Handler handler;
    AsyncHandler later;  // set: this one instead of handler
};

struct Route {
    // A pattern's "*" stands for one non-empty path segment, which the
    // handler finds in req.matches[1].
    std::string pattern;
    bool guarded = false;  // asks for the token (when the server has one)
    std::vector<Endpoint> endpoints;

    std::vector<std::string> methods() const;
};

// The first route whose pattern matches path; null when none does.
const Route* find_route(std::span<const Route> routes, std::string_view path);

}  // namespace verimex_server
