// Looking up the route table.
#include "routes.h"

#include "request.h"

namespace verimex_server {

std::vector<std::string> Route::methods() const
{
    std::vector<std::string> out;
    for (const Endpoint& e : endpoints)
        out.push_back(e.method);
    return out;
}

const Route* find_route(std::span<const Route> routes, std::string_view path)
{
    for (const Route& route : routes)
        if (path_matches(route.pattern, path))
            return &route;
    return nullptr;
}

}  // namespace verimex_server
