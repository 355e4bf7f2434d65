// Helpers shared by the scanner and lookup tests.
#pragma once

#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "lookup/nextmx.h"

namespace verimex::test {

// Mail exchangers as the host loop of check() would try them, in order.
using Hosts = std::vector<std::string>;

// Every host the scanner hands out for text, in order, as the host loop of
// check() would see them. Gives up (and says so with a marker entry) after
// far more calls than the text could hold records, so a scanner that never
// ends fails the test instead of hanging it.
inline Hosts hosts_in(std::string_view text)
{
    Hosts hosts;
    std::size_t scanpos = 1;
    for (std::size_t calls = 0; calls <= text.size() + 1; ++calls) {
        std::optional<std::string> host = nextmx(text, scanpos);
        if (!host)
            return hosts;
        hosts.push_back(std::move(*host));
    }
    hosts.emplace_back("<scanner did not end>");
    return hosts;
}

// A captured tool output under tests/data.
inline std::string test_data(std::string_view name)
{
    const std::string path = std::string(VERIMEX_TESTS_DIR) + "/data/" + std::string(name);
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        throw std::runtime_error("cannot read " + path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace verimex::test
