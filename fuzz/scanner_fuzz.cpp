// Fuzz target: any lookup tool's output brought into the scanner's shape and
// scanned for mail-exchanger hosts, as check does with what it read; and
// the same bytes scanned as they stand, as check does with a value the host
// left in the nslookup property. The scan must end, move on at every host,
// and only ever hand out text that follows "mail exchanger = " up to a line
// end.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_target.h"
#include "lookup/nextmx.h"
#include "lookup/reshape.h"

namespace {

constexpr std::string_view record = "mail exchanger = ";

void scan(std::string_view text)
{
    std::size_t scanpos = 1;
    std::size_t hosts = 0;
    while (std::optional<std::string> host = verimex::nextmx(text, scanpos)) {
        ++hosts;
        // Every record takes its own marker, so there can be no more hosts
        // than markers fit in the text: the host loop ends.
        FUZZ_CHECK(hosts * record.size() <= text.size());
        // scanpos points at the name just handed out, right after a marker.
        FUZZ_CHECK(scanpos > record.size() && scanpos - 1 + host->size() <= text.size());
        const std::size_t at = scanpos - 1;
        FUZZ_CHECK(text.substr(at - record.size(), record.size()) == record);
        FUZZ_CHECK(text.substr(at, host->size()) == *host);
        // The name ends at the line end, which it never holds itself.
        FUZZ_CHECK(host->find('\n') == std::string::npos);
        const std::string_view after = text.substr(at + host->size());
        FUZZ_CHECK(after.starts_with("\n") || after.starts_with("\r\n"));
    }
    // Asked again after the end, it still has nothing.
    FUZZ_CHECK(!verimex::nextmx(text, scanpos));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const std::string shaped = verimex::reshape(raw);

    // Every line end is CR LF, one for every LF that came; the rewrite only
    // removes, besides the CR it adds before an LF.
    std::size_t lfs = 0;
    for (char c : raw)
        lfs += c == '\n';
    std::size_t shaped_lfs = 0;
    for (std::size_t i = 0; i < shaped.size(); ++i) {
        if (shaped[i] != '\n')
            continue;
        ++shaped_lfs;
        FUZZ_CHECK(i > 0 && shaped[i - 1] == '\r');
    }
    FUZZ_CHECK(shaped_lfs == lfs);
    FUZZ_CHECK(shaped.size() <= raw.size() + lfs);

    scan(shaped);
    scan(raw);
    return 0;
}
