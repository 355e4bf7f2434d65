// Role accounts and disposable-address domains: lists, and the lookups in
// them. The shipped disposable list is verify/data/disposable-domains.txt,
// compiled in by the build (disposable_default.cpp.in); a user's list is
// read from its file and kept until the file changes.
#include "verify/facts.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_set>

namespace verimex::engine {

// Defined in the generated disposable_default.cpp.
extern const char* const shipped_disposable_domains;

namespace {

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + ('a' - 'A'));
    return out;
}

constexpr std::array<std::string_view, 52> roles{
    // RFC 2142.
    "abuse", "ftp", "hostmaster", "info", "marketing", "news", "noc", "postmaster", "sales", "security",
    "support", "usenet", "uucp", "webmaster", "www",
    // The usual others.
    "accounting", "accounts", "admin", "administrator", "billing", "careers", "contact", "customerservice",
    "do-not-reply", "donotreply", "enquiries", "feedback", "hello", "help", "helpdesk", "hr", "inquiries",
    "it", "jobs", "legal", "list", "mail", "mailer-daemon", "media", "newsletter", "no-reply", "noreply",
    "office", "orders", "press", "privacy", "root", "service", "sysadmin", "team", "webadmin", "spam"};

using domain_set = std::unordered_set<std::string>;

std::shared_ptr<const domain_set> parse_list(std::istream& in)
{
    auto set = std::make_shared<domain_set>();
    std::string line;
    while (std::getline(in, line)) {
        if (const std::size_t hash = line.find('#'); hash != std::string::npos)
            line.resize(hash);
        const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
        while (!line.empty() && blank(line.back()))
            line.pop_back();
        std::size_t start = 0;
        while (start < line.size() && blank(line[start]))
            ++start;
        std::string domain = lower(std::string_view(line).substr(start));
        while (!domain.empty() && domain.back() == '.')
            domain.pop_back();
        if (!domain.empty())
            set->insert(std::move(domain));
    }
    return set;
}

const domain_set& shipped()
{
    static const std::shared_ptr<const domain_set> set = [] {
        std::istringstream in(shipped_disposable_domains);
        return parse_list(in);
    }();
    return *set;
}

struct loaded_file {
    struct timespec mtime {};
    off_t size = -1;
    std::shared_ptr<const domain_set> domains;
};

// The user's lists, by path; a changed file (time or size) is read again.
std::shared_ptr<const domain_set> user_list(const std::string& path, std::string& error)
{
    static std::mutex mutex;
    static std::map<std::string, loaded_file> files;

    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int code = errno;
        error = "cannot read the disposable-domain list " + path + ": " + std::strerror(code) + " (error " +
                std::to_string(code) + ")";
        return nullptr;
    }
    {
        const std::lock_guard lock(mutex);
        const auto it = files.find(path);
        if (it != files.end() && it->second.size == st.st_size && it->second.mtime.tv_sec == st.st_mtim.tv_sec &&
            it->second.mtime.tv_nsec == st.st_mtim.tv_nsec)
            return it->second.domains;
    }
    std::ifstream in(path);
    if (!in) {
        const int code = errno;
        error = "cannot read the disposable-domain list " + path + ": " + std::strerror(code) + " (error " +
                std::to_string(code) + ")";
        return nullptr;
    }
    std::shared_ptr<const domain_set> domains = parse_list(in);
    const std::lock_guard lock(mutex);
    files[path] = loaded_file{st.st_mtim, st.st_size, domains};
    return domains;
}

bool listed(const domain_set& set, std::string_view domain)
{
    std::string d = lower(domain);
    // The domain and each domain above it.
    std::string_view rest(d);
    while (!rest.empty()) {
        if (set.contains(std::string(rest)))
            return true;
        const std::size_t dot = rest.find('.');
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
    }
    return false;
}

}  // namespace

bool role_account(std::string_view local)
{
    if (local.size() >= 2 && local.front() == '"' && local.back() == '"')
        local = local.substr(1, local.size() - 2);
    if (const std::size_t plus = local.find('+'); plus != std::string_view::npos)
        local = local.substr(0, plus);
    const std::string l = lower(local);
    return std::find(roles.begin(), roles.end(), l) != roles.end();
}

bool disposable_domain(std::string_view domain, const std::string& list_file, std::string& error)
{
    if (list_file.empty())
        return listed(shipped(), domain);
    const std::shared_ptr<const domain_set> set = user_list(list_file, error);
    return set && listed(*set, domain);
}

}  // namespace verimex::engine
