// Reading verimex-check's address list.
#include "verimex/hosting/address_list.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <system_error>

namespace verimex::hosting {

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
    // Editors on Windows save UTF-8 with a byte-order mark in front, which
    // would otherwise stick to the front of the first address.
    bool first = true;
    while (std::getline(in, line)) {
        if (first && line.starts_with("\xEF\xBB\xBF"))
            line.erase(0, 3);
        first = false;
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

bool read_addresses(const std::vector<std::string>& operands, std::vector<std::string>& out)
{
    std::ios::sync_with_stdio(false);
    out = collect_addresses(operands, std::cin);
    if (!std::cin.bad())
        return true;
    const std::string message =
        "verimex-check: cannot read standard input: " + std::generic_category().message(errno) + "\n";
    std::fwrite(message.data(), 1, message.size(), stderr);
    return false;
}

}  // namespace verimex::hosting
