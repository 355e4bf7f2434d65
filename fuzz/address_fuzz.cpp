// Fuzz target: address syntax. Whatever the input, parse_mailbox must end,
// and what it accepts must be safe to put on an SMTP command line and into
// DNS: within the length limits, valid UTF-8, no line break, NUL or control
// character, a domain of plain ASCII; and its wire form must parse again to
// itself.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_target.h"
#include "verify/address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace verimex::engine;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::optional<mailbox> m = parse_mailbox(in);
    if (!m)
        return 0;
    FUZZ_CHECK(valid_utf8(in));
    FUZZ_CHECK(!m->local.empty() && m->local.size() <= max_local_part);
    FUZZ_CHECK(!m->domain.empty() && m->domain.size() <= max_domain);
    const std::string wire = m->wire();
    FUZZ_CHECK(wire.size() + 2 <= max_path);
    for (char ch : wire) {
        const auto c = static_cast<unsigned char>(ch);
        FUZZ_CHECK(c >= 0x20 && c != 0x7f);
    }
    for (char ch : m->domain)
        FUZZ_CHECK(static_cast<unsigned char>(ch) < 0x80 && ch != ' ');
    FUZZ_CHECK(m->literal.empty() == !m->domain.starts_with('['));
    const std::optional<mailbox> again = parse_mailbox(wire);
    FUZZ_CHECK(again && again->wire() == wire && again->literal == m->literal);
    return 0;
}
