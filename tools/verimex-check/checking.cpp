// Runs one check through the public verifier class and collects its outcome.
#include "checking.h"

#include <cerrno>
#include <exception>
#include <string>
#include <system_error>

#include "component/texts.h"  // the result texts the library writes
#include "verimex/quoverimex.h"

namespace verimex_check {

namespace {

// Whether returnvar is one of the lookup runner's failure texts for a pipe,
// a start or a read that failed for want of descriptors.
bool lookup_ran_short(const std::string& returnvar)
{
    namespace texts = verimex::texts;
    for (const int error : {EMFILE, ENFILE}) {
        if (returnvar == texts::pipe_failed(error) || returnvar == texts::start_failed(error) ||
            returnvar == texts::read_failed(error))
            return true;
    }
    return false;
}

}  // namespace

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
    } catch (const std::system_error& e) {
        // what() already carries the OS's message.
        result.platform_error = e.what();
        result.out_of_descriptors = e.code() == std::errc::too_many_files_open ||
                                    e.code() == std::errc::too_many_files_open_in_system;
    } catch (const std::exception& e) {
        result.platform_error = e.what();
        if (result.platform_error.empty())
            result.platform_error = "unknown platform error";
    }
    result.returnvar = verifier.returnvar();
    result.transcript = verifier.smtp();
    // The lookup runner reports a pipe or a start that failed for want of
    // descriptors in returnvar, as it reports any failure of the tool.
    if (lookup_ran_short(result.returnvar))
        result.out_of_descriptors = true;
    return result;
}

}  // namespace verimex_check
