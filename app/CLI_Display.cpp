#include "app/CLI_Display.h"

#include <cstring>
#include <unistd.h>

#include "transport/aRecord.h"

uint8_t CLI_Display::spinner_frame = 0;

namespace {

const char BAR_SOURCE[] = "=====================================================================";
static_assert(sizeof BAR_SOURCE - 1 == CLI_Display::BAR_WIDTH, "the bar source fills the bar");

// The dot count rises from 1 to 5 and falls again.
const char* const SPINNER_FRAMES[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

} // namespace

CLI_Display::CLI_Display(FILE* out_, FILE* err_) : out(out_), err(err_)
{
    if (out)
        setvbuf(out, nullptr, _IONBF, 0);
    if (err)
        setvbuf(err, nullptr, _IONBF, 0);
}

bool CLI_Display::is_terminal() const
{
    return out && isatty(fileno(out)) == 1;
}

void CLI_Display::clear_line()
{
    fprintf(out, "\r%*s\r", CLEAR_WIDTH, " ");
}

void CLI_Display::display_progress(bool start)
{
    if (!is_terminal() || start)
        return;
    clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    if (!is_terminal())
        return;
    if (!(fraction >= 0.0)) // also catches NaN
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    int width = BAR_WIDTH;
    if (label) {
        // A label too long for a bar leaves an empty one.
        size_t room = std::strlen(label) + 4;
        width = room >= size_t(BAR_WIDTH) ? 0 : BAR_WIDTH - int(room);
    }
    const int filled = int(width * fraction);
    const int percent = int(fraction * 100.0);
    if (label)
        fprintf(out, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, BAR_SOURCE, width - filled - 1, "",
                percent);
    else
        fprintf(out, "\r[%.*s>%*s] (%3d%% ) ", filled, BAR_SOURCE, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label)
{
    if (!is_terminal())
        return;
    if (!active) {
        clear_line();
        return;
    }
    const char* frame = SPINNER_FRAMES[spinner_frame % 8];
    if (label)
        fprintf(out, "\r (%s) %s      \r", label, frame);
    else
        fprintf(out, "\r %s      \r", frame);
    spinner_frame = uint8_t((spinner_frame + 1) % 8);
}

void CLI_Display::info_message(const char* text)
{
    if (aRecord_IsOn())
        aRecord_Output(out == err, text);
    if (out)
        fprintf(out, "%s\n", text ? text : "");
}

void CLI_Display::error_message(const char* text)
{
    if (aRecord_IsOn())
        aRecord_Output(true, text);
    ++errors;
    if (keeping) {
        std::lock_guard<std::mutex> hold(keptLock);
        kept.push_back(text ? text : "");
    }
    if (err)
        fprintf(err, "%s\n", text ? text : "");
}

void CLI_Display::hint_message(const char* text)
{
    if (err && !is_muted()) {
        if (aRecord_IsOn())
            aRecord_Output(true, text);
        fprintf(err, "%s\n", text ? text : "");
    }
}

std::vector<std::string> CLI_Display::kept_errors() const
{
    std::lock_guard<std::mutex> hold(keptLock);
    return kept;
}
