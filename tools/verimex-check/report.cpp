// Formatting of verimex-check's output and the exit status of a run.
#include "report.h"

#include <algorithm>

namespace verimex_check {

namespace {

constexpr std::string_view indent = "    ";

std::string_view without_final_line_end(std::string_view text)
{
    const std::size_t last = text.find_last_not_of("\r\n");
    return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

}  // namespace

std::string result_line(const report& result)
{
    return escaped(result.address) + ": " + escaped(without_final_line_end(result.returnvar)) + "\n";
}

std::string verdict_line(const report& result)
{
    std::string line = escaped(result.address) + ": " + std::string(verimex::name(result.verdict)) + " " +
                       std::string(verimex::name(result.reason));
    if (result.code && result.returnvar != "000")
        line += ": " + escaped(without_final_line_end(result.returnvar));
    return line + "\n";
}

std::string error_line(const report& result)
{
    return "verimex-check: " + escaped(result.address) + ": " + escaped(result.error) + "\n";
}

std::string transcript_block(std::string_view transcript)
{
    std::string out;
    while (!transcript.empty()) {
        std::size_t end = transcript.find('\n');
        std::string_view line;
        if (end == std::string_view::npos) {
            line = transcript;
            transcript = {};
        } else {
            line = transcript.substr(0, end);
            transcript.remove_prefix(end + 1);
        }
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        out += indent;
        out += escaped(line);
        out += '\n';
    }
    return out;
}

std::string progress_line(std::size_t done, std::size_t total, std::chrono::milliseconds elapsed)
{
    constexpr std::size_t width = 24;
    const std::size_t filled = total == 0 ? width : std::min(done, total) * width / total;
    std::string out = "[";
    out.append(filled, '#');
    out.append(width - filled, '-');
    out += "] ";
    out += std::to_string(done) + "/" + std::to_string(total);

    // Tenths of an address per second, in whole numbers so the text does
    // not depend on the locale or on floating-point formatting.
    const auto ms = static_cast<unsigned long long>(std::max<std::chrono::milliseconds::rep>(elapsed.count(), 0));
    const unsigned long long tenths = ms == 0 ? 0 : (static_cast<unsigned long long>(done) * 10000 + ms / 2) / ms;
    out += "  " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "/s  ";

    const unsigned long long seconds = ms / 1000;
    const auto two = [](unsigned long long n) { return (n < 10 ? "0" : "") + std::to_string(n); };
    if (seconds >= 3600)
        out += std::to_string(seconds / 3600) + ":" + two(seconds / 60 % 60) + ":" + two(seconds % 60);
    else
        out += std::to_string(seconds / 60) + ":" + two(seconds % 60);
    return out;
}

void Tally::add(const report& result)
{
    if (!result.error.empty())
        any_failed_ = true;
    else if (!result.verified)
        any_not_verified_ = true;
}

ExitStatus Tally::status() const
{
    if (any_failed_)
        return platform_failed;
    return any_not_verified_ ? some_not_verified : all_verified;
}

}  // namespace verimex_check
