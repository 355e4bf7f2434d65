// /v1/check: one address checked while the client waits, on the single
// checks' pool.
#include "api.h"

namespace verimex_server {

void Api::check(Request& req, Response& res, std::function<void()> done)
{
    // Each early answer below is the request's answer at once.
    struct Answer {
        std::function<void()>& done;
        ~Answer()
        {
            if (done)
                done();
        }
    } answer{done};

    if (!req.has_param("email"))
        return reply_error(res, 400, "missing parameter: email");
    std::string email = req.get_param_value("email");
    if (email.empty())
        return reply_error(res, 400, "empty parameter: email");
    CheckParams params;
    for (const std::string_view name : check_param_names) {
        if (!req.has_param(std::string(name)))
            continue;
        if (const auto error = read_check_param(name, req.get_param_value(std::string(name)), params))
            return reply_error(res, 400, *error);
    }
    verimex::options settings = base_settings();
    apply(params, settings);
    if (settings.method == verimex::method::vrfy && !settings.proxy.empty())
        return reply_error(res, 400, vrfy_with_proxy);

    // Method vrfy answers as this service always has, with the
    // component's members alone, as verimex-check --json does.
    const auto members = settings.method == verimex::method::vrfy ? verimex::hosting::report_members::component
                                                                   : verimex::hosting::report_members::all;
    // The answer is written from the check's own thread once it has its
    // result: no thread waits for a check but the one that runs it.
    const auto refusal = checks_.submit(
        std::move(email), std::move(settings),
        [this, &res, members, finish = done](std::optional<verimex::report> result) {
            if (result) {
                res.set_content(verimex::hosting::json_line(*result, members), json_type);
            } else {
                metrics_.check_refused();
                res.set_header("Retry-After", "5");
                reply_error(res, 503, "the server is stopping");
            }
            finish();
        });
    if (!refusal) {
        done = nullptr;  // the callback answers
        return;
    }
    metrics_.check_refused();
    res.set_header("Retry-After", *refusal == CheckPool::Refusal::stopping ? "5" : "1");
    reply_error(res, 503,
                *refusal == CheckPool::Refusal::stopping ? "the server is stopping"
                                                         : "too many checks waiting; try again later");
}

}  // namespace verimex_server
