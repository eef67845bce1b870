// The console display: information lines to the output stream, error lines
// to the error stream, a progress bar and a spinner only when the output
// stream is a terminal. The streams are made unbuffered at construction.
// Lines may be written from any thread; progress and spinner are drawn from
// one thread at a time (the spinner frame counter is shared by every
// instance and is not locked).
#ifndef UPDATER_APP_CLI_DISPLAY_H
#define UPDATER_APP_CLI_DISPLAY_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "base/UpdaterDisplayInterface.h"

class CLI_Display final : public UpdaterDisplayInterface {
public:
    // Standard output and standard error unless other streams are given.
    explicit CLI_Display(FILE* out = stdout, FILE* err = stderr);
    ~CLI_Display() = default;

    void display_progress(bool start) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

    // Number of error lines shown so far; the front end uses it to tell a
    // command that failed from one that found nothing.
    unsigned error_count() const { return errors.load(); }

    // Information lines, progress and spinner go to the error stream from
    // now on, when the output stream carries a machine-readable document.
    void output_to_error_stream() { out = err; }
    // A line of advice on the error stream that is no error: not counted,
    // dropped while muted.
    void hint_message(const char* text);
    // From now on every error line is also kept, for a machine-readable
    // report; kept_errors() gives them in order. Both may be called from
    // any thread.
    void keep_errors() { keeping = true; }
    std::vector<std::string> kept_errors() const;

    // Width of the line that the progress bar and the spinner clear.
    static const int CLEAR_WIDTH = 88;
    // Width of the progress bar without a label.
    static const int BAR_WIDTH = 69;

private:
    bool is_terminal() const;
    void clear_line();

    FILE* out;
    FILE* err;
    std::atomic<unsigned> errors{0};
    std::atomic<bool> keeping{false};
    mutable std::mutex keptLock; // guards kept
    std::vector<std::string> kept;
    static uint8_t spinner_frame;
};

#endif
