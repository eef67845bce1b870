// Shared pieces of the load, soak and kill tests: the BIRD file they install
// from the store, what a module must hold afterwards, and checks that a
// device's store folder is whole.
#ifndef TESTS_UPDATER_LOADFIXTURES_H
#define TESTS_UPDATER_LOADFIXTURES_H

#include <dirent.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/ProgramRunner.h"
#include "support/TestImages.h"
#include "support/UpdateServerHarness.h"
#include "UpdateFixtures.h"

namespace loadtest {

using namespace updtest;

const size_t IMAGE_SIZE = 1500;
const uint32_t SERIAL_OFFSET = 0x100;
const uint32_t DESCRIPTOR_OFFSET = 0x120;
const uint32_t BUILD = 2000;

inline BirdWriter Bird(uint32_t build = BUILD)
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, Pattern(90, 5));
    writer.AddFirmware(0, VectorImage(IMAGE_SIZE, 11));
    writer.AddSerialOffsets(SERIAL_OFFSET, DESCRIPTOR_OFFSET);
    writer.AddInfo(build, "2.16.0", 0, "Pilgrim");
    return writer;
}

// The image with the module's serial number patched in, as it must land in flash.
inline std::string Installed(uint32_t serial)
{
    return testimages::SerialPatched(VectorImage(IMAGE_SIZE, 11), serial, SERIAL_OFFSET, DESCRIPTOR_OFFSET);
}

// Names in a folder, "." and ".." left out.
inline std::vector<std::string> Entries(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

// A settings file written whole: every line a KEY=value pair, ending in a
// line end, with the time stamp every save writes.
inline bool SettingsWhole(const std::string& text)
{
    if (text.empty() || text.back() != '\n')
        return false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        if (line.find('=') == std::string::npos || line.find('=') == 0)
            return false;
        start = end + 1;
    }
    return text.find("UPDATED_TIME=") != std::string::npos;
}

inline RunResult RunUpdater(const std::vector<std::string>& words, const std::string& store,
                            std::function<void(pid_t)> watch = nullptr, int timeoutMs = 180000)
{
    std::vector<std::string> argv{UpdaterProgramPath()};
    argv.insert(argv.end(), words.begin(), words.end());
    argv.insert(argv.end(), {"-u", UpdateServerHarness::DeadURL(), "-i", store});
    RunOptions options;
    options.environment = {"HOME=" + store};
    options.timeoutMs = timeoutMs;
    options.whileRunning = watch;
    return RunProgram(argv, options);
}

// A small deterministic sequence for choosing kill points.
class Sequence {
public:
    explicit Sequence(uint32_t seed) : state(seed ? seed : 1) {}
    // A value from 1 to n.
    uint32_t Next(uint32_t n)
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return 1 + state % n;
    }

private:
    uint32_t state;
};

} // namespace loadtest

#endif
