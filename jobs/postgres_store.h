// The PostgreSQL store (a server shared by a fleet of workers).
#pragma once

#include <memory>
#include <string>

#include "jobs/store.h"

namespace verimex_jobs {

std::unique_ptr<Store> open_postgres_store(const std::string& uri);

}  // namespace verimex_jobs
