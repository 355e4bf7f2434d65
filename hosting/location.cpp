// Choosing the store for a location, and showing a location safely.
#include "verimex/hosting/location.h"

#if VERIMEX_WITH_POSTGRESQL
#include "store/postgres_store.h"
#endif
#include "store/sqlite_store.h"

namespace verimex::hosting {

std::unique_ptr<Store> open_store(const std::string& location, std::shared_ptr<Clock> clock)
{
    if (is_postgresql_uri(location)) {
#if VERIMEX_WITH_POSTGRESQL
        return open_postgres_store(location, std::move(clock));
#else
        // Refused by name rather than taken for a file called postgresql:...
        throw StoreError("cannot open store: this verimex was built without PostgreSQL (VERIMEX_WITH_POSTGRESQL)");
#endif
    }
    return open_sqlite_store(location, clock ? std::move(clock) : std::make_shared<SystemClock>());
}

bool is_postgresql_uri(std::string_view location)
{
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

std::string printable_location(std::string_view location)
{
    if (!is_postgresql_uri(location))
        return std::string(location);
    const std::size_t start = location.find("://") + 3;
    const std::size_t at = location.find('@', start);
    const std::size_t slash = location.find('/', start);
    if (at == std::string_view::npos || (slash != std::string_view::npos && slash < at))
        return std::string(location);
    const std::size_t colon = location.find(':', start);
    if (colon == std::string_view::npos || colon > at)
        return std::string(location);
    return std::string(location.substr(0, colon + 1)) + "***" + std::string(location.substr(at));
}

}  // namespace verimex::hosting
