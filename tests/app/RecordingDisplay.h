// A display that keeps every line it is given, for checking messages.
#ifndef TESTS_APP_RECORDINGDISPLAY_H
#define TESTS_APP_RECORDINGDISPLAY_H

#include <string>
#include <vector>

#include "base/UpdaterDisplayInterface.h"

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool active, const char*) override { spins += active; }
    void info_message(const char* text) override { info.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }

    std::vector<std::string> info;
    std::vector<std::string> errors;
    int spins = 0; // spinner turns shown
};

#endif
