// Where a store is: an SQLite file or a PostgreSQL URI, how it is opened,
// and how its location is shown without a password.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "verimex/hosting/store.h"

namespace verimex::hosting {

// Opens the store at location, creating it (file and tables) when missing:
// a postgresql:// or postgres:// URI, or else a file path. Throws
// StoreError when it cannot be opened, created or reached, is not a store,
// or has a newer schema. clock: what the store reckons leases, retries and
// intervals by; when null, an SQLite store takes the system's clock and a
// PostgreSQL store the server's, which every worker of a fleet shares.
std::unique_ptr<Store> open_store(const std::string& location, std::shared_ptr<Clock> clock = nullptr);

// Whether location names a PostgreSQL store.
bool is_postgresql_uri(std::string_view location);

// location for messages and logs: a URI's password replaced by "***".
std::string printable_location(std::string_view location);

}  // namespace verimex::hosting
