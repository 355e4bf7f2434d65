// verimex-server's route table against its OpenAPI document: the same paths
// with the same methods and the same need for the token, both ways, and the
// document the server carries is the file in the repository.
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "api.h"
#include "page_assets.h"

namespace {

using Json = nlohmann::json;

std::string document_file()
{
    std::ifstream in(VERIMEX_TESTS_DIR "/../tools/verimex-server/openapi.json", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string served_document()
{
    for (const verimex_server::Asset& asset : verimex_server::page_assets())
        if (asset.path == "/v1/openapi.json")
            return std::string(asset.body);
    return {};
}

// A route table pattern as an OpenAPI path: each "*" segment is a {name}.
std::string as_template(std::string_view pattern)
{
    std::string out;
    for (const char c : pattern)
        out += c == '*' ? std::string("{name}") : std::string(1, c);
    return out;
}

using Operation = std::tuple<std::string, std::string, bool>;  // path, method, guarded

}  // namespace

TEST(ServerRoutes, TheServedDocumentIsTheFile)
{
    const std::string file = document_file();
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(served_document(), file);
}

TEST(ServerRoutes, EveryRouteIsDocumentedAndEveryDocumentedOperationIsARoute)
{
    const Json doc = Json::parse(served_document());
    std::set<Operation> table;
    for (const verimex_server::Route& route : verimex_server::Api::route_table(nullptr))
        for (const std::string& method : route.methods())
            table.emplace(as_template(route.pattern), method, route.guarded);

    std::set<Operation> documented;
    for (const auto& [path, item] : doc.at("paths").items()) {
        for (const auto& [key, op] : item.items()) {
            if (key == "parameters")
                continue;
            std::string method = key;
            for (char& c : method)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            // Operations name their security each; an empty list is "no token".
            ASSERT_TRUE(op.contains("security")) << path << " " << key;
            documented.emplace(path, method, !op.at("security").empty());
        }
    }
    for (const Operation& op : table)
        EXPECT_TRUE(documented.count(op)) << "not in openapi.json as it is served: " << std::get<1>(op) << " "
                                          << std::get<0>(op) << (std::get<2>(op) ? " (token)" : " (open)");
    for (const Operation& op : documented)
        EXPECT_TRUE(table.count(op)) << "in openapi.json, not in the route table: " << std::get<1>(op) << " "
                                     << std::get<0>(op) << (std::get<2>(op) ? " (token)" : " (open)");
}
