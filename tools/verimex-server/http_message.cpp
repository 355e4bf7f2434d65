// The few lookups of a request's and a reply's fields.
#include "http_message.h"

#include <algorithm>
#include <cctype>

namespace verimex_server {

namespace {

char lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// The value of the first of equal keys (a multimap keeps them in the
// order they were inserted; find() may give any of them).
template <class Map>
std::string first_value(const Map& map, std::string_view key)
{
    const auto it = map.lower_bound(key);
    return it == map.end() || map.key_comp()(key, it->first) ? std::string() : it->second;
}

}  // namespace

bool FieldLess::operator()(std::string_view a, std::string_view b) const
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lower(x) < lower(y); });
}

std::string Request::get_header_value(std::string_view name) const
{
    return first_value(headers, name);
}

std::string Request::get_param_value(std::string_view name) const
{
    return first_value(params, name);
}

void Response::set_header(std::string name, std::string value)
{
    headers.emplace_back(std::move(name), std::move(value));
}

std::string Response::get_header_value(std::string_view name) const
{
    const FieldLess less;
    for (const auto& [key, value] : headers)
        if (!less(key, name) && !less(name, key))
            return value;
    return {};
}

}  // namespace verimex_server
