// A throw-away PostgreSQL cluster: initdb in a temporary folder, the server
// run by pg_ctl as the "postgres" user on 127.0.0.1 only, in a session of
// its own, and stopped by pg_ctl (the pid it wrote) at the end.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace verimex::test {

// Why a cluster cannot be had here; empty when it can.
inline std::string postgres_unavailable()
{
    const bool can = ::geteuid() == 0 && ::getpwnam("postgres") != nullptr &&
                     std::filesystem::exists("/usr/lib/postgresql/15/bin/initdb");
    return can ? "" : "needs root and the postgres user and initdb (package postgresql)";
}

class PgCluster {
public:
    explicit PgCluster(int port = 55432) : port_(port)
    {
        char pattern[] = "/tmp/verimex-pg.XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        if (std::system(("chown postgres: " + dir_).c_str()) != 0 ||
            !as_postgres("initdb -D data -A trust -U verimex -E UTF8 --no-locale --no-sync"))
            throw std::runtime_error("initdb failed; see " + dir_ + "/server.log");
        start();
    }
    ~PgCluster()
    {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    PgCluster(const PgCluster&) = delete;

    std::string uri(const std::string& database) const
    {
        return "postgresql://verimex@127.0.0.1:" + std::to_string(port_) + "/" + database;
    }

    void start()
    {
        if (!running_ && !as_postgres("pg_ctl start -w -D data -o '-h 127.0.0.1 -p " + std::to_string(port_) +
                                      " -k " + dir_ + " -c fsync=off -c full_page_writes=off -c max_connections=200'"))
            throw std::runtime_error("postgres did not come up; see " + dir_ + "/server.log");
        running_ = true;
    }

    // Fast shutdown: open connections are cut, as when a server goes away.
    void stop()
    {
        if (running_)
            as_postgres("pg_ctl stop -w -m fast -D data");
        running_ = false;
    }

    void run_sql(const std::string& database, const std::string& sql) const
    {
        if (!as_postgres("psql -X -q -v ON_ERROR_STOP=1 -d '" + uri(database) + "' -c \"" + sql + "\""))
            throw std::runtime_error(sql + " failed; see " + dir_ + "/server.log");
    }

private:
    bool as_postgres(const std::string& command) const
    {
        const std::string line = "cd " + dir_ + " && setpriv --reuid=postgres --regid=postgres --clear-groups " +
                                 "/usr/lib/postgresql/15/bin/" + command + " >>server.log 2>&1 </dev/null";
        return std::system(line.c_str()) == 0;
    }

    int port_;
    std::string dir_;
    bool running_ = false;
};

// One cluster per test binary, made on first use; null where none can run.
inline PgCluster* shared_cluster()
{
    static const std::unique_ptr<PgCluster> made = [] {
        const bool can = std::getenv("VERIMEX_NETNS") != nullptr && postgres_unavailable().empty();
        return can ? std::make_unique<PgCluster>() : nullptr;
    }();
    return made.get();
}

// A new, empty store: a file in `folder` ("sqlite") or a database of the
// shared cluster ("postgresql"); empty when there is no cluster.
inline std::string new_store(const std::string& kind, const std::filesystem::path& folder)
{
    static int serial = 0;
    const std::string name = "s" + std::to_string(++serial);
    if (kind == "sqlite")
        return (folder / (name + ".db")).string();
    PgCluster* pg = shared_cluster();
    if (pg == nullptr)
        return {};
    pg->run_sql("postgres", "CREATE DATABASE " + name);
    return pg->uri(name);
}

}  // namespace verimex::test
