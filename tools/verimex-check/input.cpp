// Reading verimex-check's address list.
#include "input.h"

namespace verimex_check {

std::optional<std::string_view> address_on_line(std::string_view line)
{
    constexpr std::string_view blanks = " \t\r";
    const std::size_t first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos || line[first] == '#')
        return std::nullopt;
    const std::size_t last = line.find_last_not_of(blanks);
    return line.substr(first, last - first + 1);
}

void read_address_lines(std::istream& in, std::vector<std::string>& out)
{
    std::string line;
    while (std::getline(in, line)) {
        if (const auto address = address_on_line(line))
            out.emplace_back(*address);
    }
}

std::vector<std::string> collect_addresses(const std::vector<std::string>& operands, std::istream& in)
{
    std::vector<std::string> addresses;
    if (operands.empty()) {
        read_address_lines(in, addresses);
        return addresses;
    }
    for (const std::string& operand : operands) {
        if (operand == "-")
            read_address_lines(in, addresses);
        else
            addresses.push_back(operand);
    }
    return addresses;
}

}  // namespace verimex_check
