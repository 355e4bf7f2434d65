// The web page's files, built into the program from page/ (see
// embed_page.cmake), so that the server needs no folder of its own.
#pragma once

#include <span>
#include <string_view>

namespace verimex_server {

struct Asset {
    std::string_view path;  // as requested: "/", "/static/app.js", ...
    std::string_view type;  // Content-Type
    std::string_view body;
};

std::span<const Asset> page_assets();

}  // namespace verimex_server
