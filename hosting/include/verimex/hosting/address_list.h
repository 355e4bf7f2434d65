// Where verimex-check's addresses come from: the operands, and the lines of
// standard input wherever "-" stands (or when there is no operand at all).
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace verimex::hosting {

// The address on one input line: surrounding blanks, tabs and CRs dropped.
// Nothing for a blank line or a comment (first other character "#").
std::optional<std::string_view> address_on_line(std::string_view line);

// Appends the address of every line of in, in order; a UTF-8 byte-order
// mark in front of the first line is dropped.
void read_address_lines(std::istream& in, std::vector<std::string>& out);

// The operands with each "-" replaced by the lines of in (read once: a
// second "-" finds it at its end), or only those lines when there is no
// operand.
std::vector<std::string> collect_addresses(const std::vector<std::string>& operands, std::istream& in);

// collect_addresses over standard input, read through the stream alone (the
// C streams' lock-step is not needed, and costs on long lists). False, with
// the reason on standard error, when standard input cannot be read.
bool read_addresses(const std::vector<std::string>& operands, std::vector<std::string>& out);

}  // namespace verimex::hosting
