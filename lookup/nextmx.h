// Takes mail-exchanger host names, one at a time, out of lookup output.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace verimex {

// scanpos is a 1-based position into text, 1 before the first call; after a
// call that returns a name it points at that name's first character, so the
// next call finds the record after it. Returns nullopt when no record is left.
std::optional<std::string> nextmx(std::string_view text, std::size_t& scanpos);

}  // namespace verimex
