// The SQLite store (a file on this machine).
#pragma once

#include <memory>
#include <string>

#include "jobs/store.h"

namespace verimex_jobs {

std::unique_ptr<Store> open_sqlite_store(const std::string& path);

}  // namespace verimex_jobs
