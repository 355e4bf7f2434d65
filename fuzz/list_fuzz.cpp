// Fuzz target: the address-list reader, which takes verimex-check's
// standard input and the text/plain lists posted to verimex-server. Any
// bytes must give, in order, only addresses that stand on one line of the
// input: none empty, none a comment, none with a line break or with blanks,
// tabs or CRs around it, never more than the input has lines. The reader
// over a stream and the one-line reader must agree on lines without a
// byte-order mark.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_target.h"
#include "verimex/hosting/address_list.h"

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace verimex::hosting;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::istringstream in(input);
    std::vector<std::string> addresses;
    read_address_lines(in, addresses);

    std::size_t lines = 1;
    for (const char c : input)
        lines += c == '\n';
    FUZZ_CHECK(addresses.size() <= lines);
    std::size_t from = 0;
    for (const std::string& a : addresses) {
        FUZZ_CHECK(!a.empty());
        FUZZ_CHECK(a.front() != '#');
        FUZZ_CHECK(!blank(a.front()) && !blank(a.back()));
        FUZZ_CHECK(a.find('\n') == std::string::npos);
        // In order: each found after the one before it.
        const std::size_t at = input.find(a, from);
        FUZZ_CHECK(at != std::string::npos);
        from = at + a.size();
    }

    // Line by line, as the stream reader sees them, where no mark can
    // stand in front of the first.
    if (!input.starts_with("\xEF\xBB\xBF")) {
        std::vector<std::string> by_line;
        std::size_t start = 0;
        while (start <= input.size()) {
            std::size_t end = input.find('\n', start);
            if (end == std::string::npos)
                end = input.size();
            if (const auto a = address_on_line(std::string_view(input).substr(start, end - start)))
                by_line.emplace_back(*a);
            start = end + 1;
        }
        FUZZ_CHECK(by_line == addresses);
    }
    return 0;
}
