// The parts of the two stores that are not SQL dialect.
#include "store/store_common.h"

#include <charconv>


namespace verimex::hosting {

void check_schema_version(std::string_view text)
{
    int version = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), version);
    if (ec != std::errc() || end != text.data() + text.size() || version < 1)
        throw StoreError("the store's schema version '" + std::string(text) + "' is not one this program knows");
    if (version > schema_version)
        throw StoreError("the store's schema is version " + std::to_string(version) +
                         ", newer than this program's (" + std::to_string(schema_version) +
                         "): use a newer verimex");
}

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

void require_job_name(std::string_view job)
{
    if (!valid_job_name(job))
        throw StoreError("a job name is " + std::string(job_name_rule));
}

std::string status_sql(std::string_view job_param, std::string_view now_param)
{
    const std::string now(now_param);
    std::string sql = "SELECT count(*), "
                      "count(*) FILTER (WHERE state = 2), "
                      "count(*) FILTER (WHERE state < 2 AND due_at <= " + now + "), "
                      "count(*) FILTER (WHERE state = 1 AND due_at > " + now + "), "
                      "count(*) FILTER (WHERE state = 0 AND due_at > " + now + ")";
    for (int outcome = 0; outcome <= static_cast<int>(Outcome::other_error); ++outcome)
        sql += ", count(*) FILTER (WHERE state = 2 AND outcome = " + std::to_string(outcome) + ")";
    sql += " FROM verimex_addresses WHERE job_id = " + std::string(job_param);
    return sql;
}

std::string take_sql(char mark, bool one_job)
{
    const auto param = [mark](int n) { return mark + std::to_string(n); };
    return "SELECT a.id, j.name, a.address, a.attempts, coalesce(m.key, a.domain) AS k, a.due_at "
           "FROM verimex_addresses a JOIN verimex_jobs j ON j.id = a.job_id "
           "LEFT JOIN verimex_mx m ON m.domain = a.domain "
           "WHERE a.state < 2 AND a.due_at <= " + param(1) + " AND (a.due_at, a.id) > (" + param(2) + ", " +
           param(3) + ") " + (one_job ? "AND a.job_id = " + param(4) + " " : std::string()) +
           "ORDER BY a.due_at, a.id LIMIT " + std::to_string(take_batch);
}

const char* state_name(int state, Millis due_at, Millis now)
{
    if (state == row_done)
        return "done";
    if (due_at <= now)
        return "due";
    return state == row_leased ? "running" : "deferred";
}

TokenSource::TokenSource()
{
    std::random_device seed;
    std::seed_seq seq{seed(), seed(), seed(), seed(), seed(), seed(), seed(), seed()};
    random_.seed(seq);
}

std::string TokenSource::next()
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string token;
    for (int word = 0; word < 2; ++word) {
        std::uint64_t bits = random_();
        for (int i = 0; i < 16; ++i, bits >>= 4)
            token += hex[bits & 0xf];
    }
    return token;
}

void KeyLimits::started(const std::string& key, Millis at)
{
    if (politeness_.interval.count() > 0 && at > now_ - politeness_.interval.count())
        recent_.insert(key);
}

bool KeyLimits::admit(const std::string& key)
{
    if (recent_.contains(key))
        return false;
    std::uint64_t& live = live_[key];
    if (politeness_.per_key != 0 && live >= politeness_.per_key)
        return false;
    ++live;
    // Two starts of one key in one take would be no time apart.
    if (politeness_.interval.count() > 0)
        recent_.insert(key);
    return true;
}

}  // namespace verimex::hosting
