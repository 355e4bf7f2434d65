// The SQLite store (a file on this machine).
#pragma once

#include <memory>
#include <string>

#include "verimex/hosting/store.h"

namespace verimex::hosting {

std::unique_ptr<Store> open_sqlite_store(const std::string& path, std::shared_ptr<Clock> clock);

}  // namespace verimex::hosting
