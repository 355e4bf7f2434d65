// Writing a run's results, and the progress bar beside them.
#include "printer.h"

#include "terminal.h"

namespace verimex_check {

namespace {

// A run that ends sooner than this never shows a bar, so a short list does
// not leave a flicker on the screen.
constexpr std::chrono::milliseconds first_draw_after{200};
constexpr std::chrono::milliseconds redraw_every{100};
// Pending results are written before they grow past this, even while
// results keep coming.
constexpr std::size_t pending_limit = 64 * 1024;

}  // namespace

Printer::Printer(std::FILE* out, std::FILE* err, const PrinterSettings& settings)
    : out_(out), err_(err), settings_(settings), start_(std::chrono::steady_clock::now())
{
}

void Printer::result(report&& result)
{
    tally_.add(result);
    if (settings_.json) {
        pending_ += json_line(result, settings_.verdicts ? report_members::all : report_members::component);
    } else if (!result.error.empty()) {
        // Standard error gets the failure in its place among the results:
        // everything before it goes out first.
        flush_out();
        clear_progress();
        std::string text = error_line(result);
        if (settings_.verbose)
            text += transcript_block(result.transcript);
        put(err_, text);
        std::fflush(err_);
    } else {
        pending_ += settings_.verdicts ? verdict_line(result) : result_line(result);
        if (settings_.verbose)
            pending_ += transcript_block(result.transcript);
    }
    if (pending_.size() >= pending_limit)
        flush_out();
}

void Printer::waiting(std::size_t done, std::size_t total)
{
    flush_out();
    if (!settings_.progress || total < 2)
        return;
    const auto now = std::chrono::steady_clock::now();
    // Also after output has cleared it: the bar comes back at the same pace,
    // not after every write.
    if (now - start_ < first_draw_after || now - drawn_at_ < redraw_every)
        return;
    const std::string line =
        progress_line(done, total, std::chrono::duration_cast<std::chrono::milliseconds>(now - start_));
    std::string text = "\r" + line;
    // A shorter line than the last one leaves none of it behind.
    if (line.size() < drawn_width_)
        text.append(drawn_width_ - line.size(), ' ');
    put(err_, text);
    std::fflush(err_);
    drawn_width_ = line.size();
    drawn_at_ = now;
}

void Printer::finish()
{
    flush_out();
    clear_progress();
}

void Printer::notice(const std::string& text)
{
    flush_out();
    clear_progress();
    put(err_, "verimex-check: " + text + "\n");
    std::fflush(err_);
}

void Printer::flush_out()
{
    if (pending_.empty())
        return;
    if (settings_.out_is_terminal)
        clear_progress();
    put(out_, pending_);
    flush(out_);
    pending_.clear();
}

void Printer::clear_progress()
{
    if (drawn_width_ == 0)
        return;
    put(err_, "\r" + std::string(drawn_width_, ' ') + "\r");
    std::fflush(err_);
    drawn_width_ = 0;
}

}  // namespace verimex_check
