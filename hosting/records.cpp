// Judging a result, the mail-server keys and job names.
#include "verimex/hosting/records.h"

#include <algorithm>
#include <cctype>

namespace verimex::hosting {

Outcome outcome_of(const report& result)
{
    if (!result.error.empty())
        return Outcome::other_error;
    if (result.verdict == verdict::deliverable)
        return Outcome::verified;
    switch (result.reason) {
    case reason::could_not_connect: return Outcome::could_not_connect;
    case reason::no_mail_server: return Outcome::no_mail_server;
    case reason::timeout: return Outcome::timed_out;
    default: break;
    }
    // Whatever else a server answered is its own answer.
    return result.code ? Outcome::rejected : Outcome::other_error;
}

JobSettings settings_of_older_jobs()
{
    JobSettings s;
    s.method = verimex::method::vrfy;
    return s;
}

verimex::options with_job_settings(verimex::options worker, const JobSettings& job)
{
    worker.method = job.method;
    if (!job.helo.empty())
        worker.helo = job.helo;
    worker.mail_from = job.mail_from;
    if (job.timeout)
        worker.timeout = *job.timeout;
    worker.tls = job.tls;
    worker.catch_all = job.catch_all;
    return worker;
}

bool is_temporary_reply(const report& result)
{
    return result.error.empty() && result.code && *result.code / 100 == 4;
}

std::string domain_of(std::string_view address)
{
    const std::size_t at = address.find('@');
    if (at == std::string_view::npos)
        return {};
    std::string out(address.substr(at + 1));
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool valid_job_name(std::string_view name)
{
    return !name.empty() && name.size() <= 200 &&
           std::none_of(name.begin(), name.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '/';
           });
}

}  // namespace verimex::hosting
