// A fresh directory under the system's temporary folder, removed with
// everything in it when the test ends.
#ifndef TESTS_STORE_TEMPDIR_H
#define TESTS_STORE_TEMPDIR_H

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "store/aDirectory.h"

class TempDir {
public:
    TempDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/storetest.XXXXXX";
        if (!mkdtemp(&tmpl[0]))
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() { aDirectory_DeleteTree(path_.c_str()); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string sub(const std::string& name) const { return path_ + "/" + name; }

    void write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream out(sub(name), std::ios::binary);
        out << bytes;
    }
    std::string read(const std::string& name) const
    {
        std::ifstream in(sub(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

private:
    std::string path_;
};

#endif
