// Sends the debug log of the given packages to a temporary file for the
// life of the object, and gives back what was written.
#ifndef TESTS_STORE_LOGCAPTURE_H
#define TESTS_STORE_LOGCAPTURE_H

#include <cstdio>
#include <string>

#include "base/Log.h"

class LogCapture {
public:
    explicit LogCapture(unsigned packages) : packages_(packages), saved_(Log::package_bitmask), oldFile_(Log::fh)
    {
        file_ = std::tmpfile();
        Log::SetOutput(file_);
        Log::ActivatePackage(packages_);
    }
    ~LogCapture()
    {
        Log::package_bitmask = saved_;
        Log::SetOutput(oldFile_);
        if (file_)
            std::fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const
    {
        std::string out;
        if (!file_)
            return out;
        std::fflush(file_);
        long end = std::ftell(file_);
        std::rewind(file_);
        out.resize(static_cast<size_t>(end));
        size_t got = std::fread(&out[0], 1, out.size(), file_);
        out.resize(got);
        std::fseek(file_, 0, SEEK_END);
        return out;
    }
    bool contains(const std::string& piece) const { return text().find(piece) != std::string::npos; }

private:
    unsigned packages_;
    unsigned saved_;
    FILE* oldFile_;
    FILE* file_ = nullptr;
};

#endif
