// How verimex-check shows results: the result line, the indented
// transcript, the error line, and the exit status of a whole run. Pure
// text in, text out; main decides where it goes.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "options.h"
#include "verimex/hosting/check.h"
#include "verimex/hosting/text.h"

namespace verimex_check {

// Exit statuses, as documented in the help text.
enum ExitStatus : int {
    all_verified = 0,
    some_not_verified = 1,
    usage_error = 2,
    platform_failed = 3,
    // 128 + the signal's number, as a shell reports a process it ended.
    interrupted_by_sigint = 130,
    interrupted_by_sigterm = 143,
};

// Control characters shown as \r, \n, \t or \xNN, a backslash as \\, so
// server text cannot break a line or steer the terminal (the server's log
// shows text the same way).
using verimex::hosting::escaped;

// "ADDRESS: RESULT\n" with the result's final line end dropped and the rest
// escaped.
std::string result_line(const report& result);

// "ADDRESS: VERDICT REASON\n", with ": REPLY" before the line end when a
// server's reply decided and is not the "000" that stands for a
// deliverable verdict; the reply as result_line shows it.
std::string verdict_line(const report& result);

// "verimex-check: ADDRESS: MESSAGE\n", for standard error.
std::string error_line(const report& result);

// The transcript, one output line per line received or sent, each indented
// by four spaces. CR LF and a lone LF end a line; other control characters
// are escaped. A last line without a line end (a reply cut short) is shown
// too. Empty text gives nothing.
std::string transcript_block(std::string_view transcript);

// The progress bar's text for done of total addresses after elapsed:
// "[#####-----] done/total  R.R/s  M:SS" (H:MM:SS from an hour on).
std::string progress_line(std::size_t done, std::size_t total, std::chrono::milliseconds elapsed);

// Folds the results of a run into its exit status.
class Tally {
public:
    void add(const report& result);
    ExitStatus status() const;

private:
    bool any_failed_ = false;
    bool any_not_verified_ = false;
};

}  // namespace verimex_check
