// The web page's files and the OpenAPI document, built into the program
// from page/ and openapi.json (see embed_page.cmake), so that the server
// needs no folder of its own.
#pragma once

#include <span>
#include <string_view>

namespace verimex_server {

struct Asset {
    std::string_view path;  // as requested: "/", "/static/app.js", "/v1/openapi.json", ...
    std::string_view type;  // Content-Type
    std::string_view body;
};

std::span<const Asset> page_assets();

}  // namespace verimex_server
