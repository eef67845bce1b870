// Command lines of arbitrary words through the option matcher and the
// parameter reader: words are the input split at zero bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Log.h"
#include "app/ParameterReader.h"

namespace {

class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { sink += text; }
    void error_message(const char* text) override { sink += text; }
    std::string sink;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words(1, "Updater");
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += char(data[i]);
        }
    }
    words.push_back(word);
    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);

    QuietDisplay display;
    Parameters parameters;
    Log::SetOutput(nullptr);
    ReadParameters(display, int(words.size()), argv.data(), parameters);
    Log::DeactivatePackage(0xFFFFFFFF);
    return 0;
}
