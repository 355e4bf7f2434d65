// The receiving end of a run: writes each result as the chosen output form
// says, folds it into the exit status, and keeps the progress bar on
// standard error up to date without letting it tear the result lines.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "options.h"
#include "verimex/hosting/json.h"
#include "verimex/hosting/ordered_run.h"
#include "report.h"

namespace verimex_check {

struct PrinterSettings {
    bool verbose = false;  // transcripts after the result lines
    bool json = false;     // one JSON object per line instead
    // Results as the engine's verdicts (verdict_line, every JSON member)
    // rather than as the component's returnvar (result_line, its five).
    bool verdicts = false;
    // The progress bar, drawn on err; out_is_terminal says whether out
    // shares the screen with it, so it must be cleared before out is
    // written.
    bool progress = false;
    bool out_is_terminal = false;
};

class Printer final : public BulkSink {
public:
    Printer(std::FILE* out, std::FILE* err, const PrinterSettings& settings);
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    void result(report&& result) override;
    // Writes out what has gathered and redraws the progress bar (at most
    // every tenth of a second).
    void waiting(std::size_t done, std::size_t total) override;
    // Writes out the rest and clears the progress bar.
    void finish();
    // A message for the user on err ("verimex-check: " + text), written
    // after what has gathered for out, with the progress bar out of its way.
    void notice(const std::string& text);

    ExitStatus status() const { return tally_.status(); }

private:
    void flush_out();
    void clear_progress();

    std::FILE* out_;
    std::FILE* err_;
    const PrinterSettings settings_;
    Tally tally_;
    // Results for out not written yet: they go out in one write when the
    // run waits, not one write per line.
    std::string pending_;
    const std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point drawn_at_;
    std::size_t drawn_width_ = 0;  // of the bar on the screen; 0 when none
};

}  // namespace verimex_check
