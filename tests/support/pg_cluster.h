// A throw-away PostgreSQL cluster for the tests: initdb in a temporary
// folder, the server run as the unprivileged "postgres" user listening on
// 127.0.0.1 only (inside the private network of tests/netns/run), stopped
// by its pid and removed at the end. Needs root (to become postgres) and
// Debian's postgresql package.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace verimex::test {

inline constexpr const char* postgres_bin = "/usr/lib/postgresql/15/bin";

// Why a cluster cannot be had here; empty when it can.
inline std::string postgres_unavailable()
{
    if (::geteuid() != 0)
        return "needs root to run the server as the postgres user";
    if (::getpwnam("postgres") == nullptr)
        return "no postgres user (package postgresql)";
    if (!std::filesystem::exists(std::string(postgres_bin) + "/initdb"))
        return "no initdb in " + std::string(postgres_bin) + " (package postgresql)";
    return {};
}

class PgCluster {
public:
    explicit PgCluster(int port = 55432) : port_(port)
    {
        char pattern[] = "/tmp/verimex-pg.XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        const passwd* pw = ::getpwnam("postgres");
        if (pw == nullptr)
            throw std::runtime_error("no postgres user");
        uid_ = pw->pw_uid;
        gid_ = pw->pw_gid;
        if (::chown(dir_.c_str(), uid_, gid_) != 0)
            throw std::runtime_error("chown failed");
        const int rc = wait_for(spawn({std::string(postgres_bin) + "/initdb", "-D", data(), "-A", "trust", "-U",
                                       "verimex", "-E", "UTF8", "--no-locale", "--no-sync"}));
        if (rc != 0)
            throw std::runtime_error("initdb failed with " + std::to_string(rc));
        start();
        run_sql("postgres", "CREATE DATABASE verimex");
    }
    ~PgCluster()
    {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    std::string uri(const std::string& database = "verimex") const
    {
        return "postgresql://verimex@127.0.0.1:" + std::to_string(port_) + "/" + database;
    }

    void start()
    {
        if (pid_ > 0)
            return;
        pid_ = spawn({std::string(postgres_bin) + "/postgres", "-D", data(), "-k", dir_, "-h", "127.0.0.1", "-p",
                      std::to_string(port_), "-c", "fsync=off", "-c", "full_page_writes=off", "-c",
                      "max_connections=200", "-c", "logging_collector=off", "-c", "log_min_messages=fatal"},
                     dir_ + "/server.log");
        const std::string info = uri("postgres");
        for (int i = 0; i < 600; ++i) {
            if (PQping(info.c_str()) == PQPING_OK)
                return;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("postgres ended at start-up; see " + dir_ + "/server.log");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        throw std::runtime_error("postgres did not come up");
    }

    // Fast shutdown (SIGINT), by the server's pid: open connections are
    // cut, as when a server goes away.
    void stop()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGINT);
        wait_for(pid_);
        pid_ = -1;
    }

    void run_sql(const std::string& database, const std::string& sql) const
    {
        // A connection that failed has no result: its status is then an error.
        PGconn* conn = PQconnectdb(uri(database).c_str());
        PGresult* r = PQstatus(conn) == CONNECTION_OK ? PQexec(conn, sql.c_str()) : nullptr;
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        const std::string message = PQerrorMessage(conn);
        PQclear(r);
        PQfinish(conn);
        if (!ok)
            throw std::runtime_error(sql + ": " + message);
    }

private:
    std::string data() const { return dir_ + "/data"; }

    // Runs argv as the postgres user; the child's pid.
    pid_t spawn(const std::vector<std::string>& argv, const std::string& log = "/dev/null") const
    {
        // Everything the child needs is made before the fork: other
        // threads of the test may hold the allocator's lock at that moment.
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            ::setsid();
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid_) != 0 || ::setuid(uid_) != 0)
                ::_exit(126);
            if (::chdir(dir_.c_str()) != 0)
                ::_exit(125);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        return pid;
    }

    static int wait_for(pid_t pid)
    {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    int port_;
    std::string dir_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    pid_t pid_ = -1;
};

// One cluster per test binary, made on first use; null where none can run
// (outside tests/netns/run, or without root and the postgresql package).
inline PgCluster* shared_cluster()
{
    static const std::unique_ptr<PgCluster> made = [] {
        const bool can = std::getenv("VERIMEX_NETNS") != nullptr && postgres_unavailable().empty();
        return can ? std::make_unique<PgCluster>() : nullptr;
    }();
    return made.get();
}

// A new, empty store location of the given kind ("sqlite": a file in
// `folder`; "postgresql": a database of the shared cluster), or empty when
// there is no cluster here.
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
