// Runs one check through the public verifier class and collects its outcome.
#include "checking.h"

#include <exception>

#include "verimex/quoverimex.h"

namespace verimex_check {

CheckResult check_address(std::string_view address, const CheckSettings& settings)
{
    // A fresh object per address: nslookup is replaced by the lookup output
    // and smtp only grows, so a reused object would carry the last address's
    // lookup output into the next command line and its transcript along.
    verimex::quoverimex verifier;
    verifier.email(std::string(address));
    verifier.from(settings.from);
    verifier.timeout(settings.timeout);
    verifier.nslookup(settings.dns_server);

    CheckResult result;
    result.address = address;
    try {
        verifier.check();
    } catch (const std::exception& e) {
        // what() of a std::system_error already carries the OS's message.
        result.platform_error = e.what();
        if (result.platform_error.empty())
            result.platform_error = "unknown platform error";
    }
    result.returnvar = verifier.returnvar();
    result.transcript = verifier.smtp();
    return result;
}

}  // namespace verimex_check
