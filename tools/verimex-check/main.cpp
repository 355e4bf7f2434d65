// verimex-check: a sample host of libverimex. Checks the addresses named on
// the command line one after the other and prints one line for each.
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "checking.h"
#include "options.h"
#include "report.h"

namespace {

void put(std::FILE* stream, const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace verimex_check;

    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto parsed = parse_args(args);
    if (const auto* bad = std::get_if<UsageError>(&parsed)) {
        put(stderr, "verimex-check: " + bad->message + "\n" + std::string(usage_hint()) + "\n");
        return usage_error;
    }
    Options& opts = std::get<Options>(parsed);
    if (opts.help) {
        put(stdout, help_text());
        return all_verified;
    }

    CheckSettings settings;
    settings.from = opts.from.empty() ? default_from() : opts.from;
    settings.timeout = opts.timeout;
    settings.dns_server = opts.dns_server;

    Tally tally;
    for (const std::string& address : opts.addresses) {
        const CheckResult result = check_address(address, settings);
        tally.add(result);
        if (result.failed()) {
            put(stderr, error_line(result));
            if (opts.verbose)
                put(stderr, transcript_block(result.transcript));
        } else {
            put(stdout, result_line(result));
            if (opts.verbose)
                put(stdout, transcript_block(result.transcript));
        }
        // Each result shows as soon as it is known, also through a pipe.
        std::fflush(stdout);
    }
    return tally.status();
}
