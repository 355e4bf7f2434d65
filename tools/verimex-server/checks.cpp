// /v1/check: one address checked while the client waits, on the single
// checks' pool.
#include "api.h"

#include <utility>

namespace verimex_server {

namespace {

// The address and the settings a /v1/check asks for, or nothing with the
// 400 in res.
std::optional<std::pair<std::string, verimex::options>> asked_check(const Request& req, Response& res,
                                                                   verimex::options settings)
{
    if (!req.has_param("email")) {
        reply_error(res, 400, "missing parameter: email");
        return std::nullopt;
    }
    std::string email = req.get_param_value("email");
    if (email.empty()) {
        reply_error(res, 400, "empty parameter: email");
        return std::nullopt;
    }
    CheckParams params;
    for (const std::string_view name : check_param_names) {
        if (!req.has_param(std::string(name)))
            continue;
        if (const auto error = read_check_param(name, req.get_param_value(std::string(name)), params)) {
            reply_error(res, 400, *error);
            return std::nullopt;
        }
    }
    apply(params, settings);
    if (settings.method == verimex::method::vrfy && !settings.proxy.empty()) {
        reply_error(res, 400, vrfy_with_proxy);
        return std::nullopt;
    }
    return std::pair{std::move(email), std::move(settings)};
}

// The 503 of a check the pool did not take, or dropped from its queue when
// the server began to stop.
void refuse_check(Metrics& metrics, Response& res, CheckPool::Refusal why)
{
    metrics.check_refused();
    const bool stopping = why == CheckPool::Refusal::stopping;
    res.set_header("Retry-After", stopping ? "5" : "1");
    reply_error(res, 503, stopping ? "the server is stopping" : "too many checks waiting; try again later");
}

}  // namespace

void Api::check(Request& req, Response& res, std::function<void()> done)
{
    auto asked = asked_check(req, res, base_settings());
    if (!asked)
        return done();
    auto& [email, settings] = *asked;
    // Method vrfy answers as this service always has, with the
    // component's members alone, as verimex-check --json does.
    const auto members = settings.method == verimex::method::vrfy ? verimex::hosting::report_members::component
                                                                   : verimex::hosting::report_members::all;
    // The answer is written from the check's own thread once it has its
    // result: no thread waits for a check but the one that runs it.
    const auto refusal = checks_.submit(
        std::move(email), std::move(settings),
        [this, &res, members, done](std::optional<verimex::report> result) {
            if (result)
                res.set_content(verimex::hosting::json_line(*result, members), json_type);
            else
                refuse_check(metrics_, res, CheckPool::Refusal::stopping);
            done();
        });
    if (refusal) {
        refuse_check(metrics_, res, *refusal);
        done();
    }
}

}  // namespace verimex_server
