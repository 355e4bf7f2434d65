// Fuzz target: reading server replies. Whatever a server sends, parse_reply
// must end, give a code of three digits and an enhanced code only in its
// RFC 3463 form and of the code's class; classify and vrfy_decides must
// give a verdict that goes with the reason for every stage.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_target.h"
#include "verify/classify.h"

namespace {

using namespace verimex;
using namespace verimex::engine;

bool goes_with(verdict v, reason r)
{
    switch (r) {
    case reason::accepted:
        return v == verdict::deliverable;
    case reason::no_such_mailbox:
    case reason::mailbox_disabled:
        return v == verdict::undeliverable;
    case reason::mailbox_full:
        return v == verdict::risky;
    default:
        return v == verdict::unknown;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::optional<parsed_reply> r = parse_reply(in);
    if (!r)
        return 0;
    FUZZ_CHECK(r->code >= 0 && r->code <= 999);
    if (r->enhanced) {
        const std::string& e = *r->enhanced;
        FUZZ_CHECK(e.size() >= 5 && e.size() <= 9 && e[0] == static_cast<char>('0' + r->code / 100) && e[1] == '.');
    }
    for (stage at : {stage::banner, stage::ehlo, stage::starttls, stage::mail, stage::rcpt, stage::vrfy}) {
        const judgement j = classify(at, *r);
        FUZZ_CHECK(goes_with(j.verdict, j.reason));
        // Only an answer about the address can make it deliverable.
        if (j.verdict == verdict::deliverable)
            FUZZ_CHECK(at == stage::rcpt || at == stage::vrfy);
    }
    if (vrfy_decides(*r)) {
        const judgement j = classify(stage::vrfy, *r);
        FUZZ_CHECK(j.verdict == verdict::deliverable || j.verdict == verdict::undeliverable);
    }
    return 0;
}
