// The PostgreSQL store (a server shared by a fleet of workers).
#pragma once

#include <memory>
#include <string>

#include "verimex/hosting/store.h"

namespace verimex::hosting {

// clock: null for the server's own.
std::unique_ptr<Store> open_postgres_store(const std::string& uri, std::shared_ptr<Clock> clock);

}  // namespace verimex::hosting
