// The sink for everything the user sees: messages, a progress bar during
// transfers and a spinner while waiting. The update engine holds a reference
// to one and never writes to the console itself.
// message() formats on the caller's stack and may be called from any thread
// (lines from different threads are not kept apart); the progress bar and
// the spinner are driven from one thread at a time.
#ifndef UPDATER_BASE_UPDATERDISPLAYINTERFACE_H
#define UPDATER_BASE_UPDATERDISPLAYINTERFACE_H

class UpdaterDisplayInterface {
public:
    enum Level {
        LEVEL_INFO = 0,
        LEVEL_ERROR = 1,
    };

    // Begin (true) or end (false) a progress display.
    virtual void display_progress(bool start) = 0;
    // Redraw the progress bar; fraction runs from 0.0 to 1.0, label may be null.
    virtual void update_progress(double fraction, const char* label) = 0;
    // Show the next spinner frame (active) or clear it; label may be null.
    virtual void update_spinner(bool active, const char* label) = 0;
    // One informational line; the text carries no line end.
    virtual void info_message(const char* text) = 0;
    // One error line; the text carries no line end.
    virtual void error_message(const char* text) = 0;

    // Formats printf-style (cut to 2047 characters) and passes the text to
    // error_message for LEVEL_ERROR, to info_message for any other level.
    // Prints nothing while muted.
    void message(Level level, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // While muted, message() drops its lines; progress and spinner still draw.
    void mute_messages(bool mute) { muted = mute; }
    bool is_muted() const { return muted; }

protected:
    // Not deleted through this interface: the owner knows the concrete type.
    ~UpdaterDisplayInterface() = default;

private:
    bool muted = false;
};

#endif
