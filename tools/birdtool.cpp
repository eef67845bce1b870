// birdtool: shows what a BIRD firmware file holds, and makes new ones from a
// loader image, firmware images and the info fields.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/Log.h"
#include "store/BirdFile.h"
#include "store/BirdReport.h"
#include "store/BirdWriter.h"

namespace {

const char USAGE[] =
    "usage:\n"
    "  birdtool show FILE\n"
    "      print the header, the block table and the info fields\n"
    "  birdtool dump FILE TYPE\n"
    "      print every block of a type (0 loader, 1 firmware, 2 serial offsets,\n"
    "      4 info, 5 entry address) as hex and text\n"
    "  birdtool create -o FILE [options]\n"
    "      --loader ADDR:IMAGE[:FLAGS]     loader code loaded at ADDR (repeatable)\n"
    "      --firmware ADDR:IMAGE[:FLAGS]   firmware image loaded at ADDR (repeatable)\n"
    "      --serial-offset ADDR            where the serial-number word goes\n"
    "      --descriptor-offset ADDR        where the descriptor's serial text goes\n"
    "      --build N --version TEXT --serial HEX --model TEXT\n"
    "                                      the info block (any of them adds it)\n"
    "      --entry ADDR                    start address for a recovery loader\n"
    "      --format-version N              header version word (default 0x0101)\n"
    "    Blocks are written in the order loaders, firmware, serial offsets,\n"
    "    info, entry address. Numbers take 0x for hexadecimal; FLAGS is 0 to 7.\n"
    "    The body's trailing checksum is the 32-bit sum of all body bytes\n"
    "    before it. A body that would inflate to more than eight times its\n"
    "    compressed size is compressed less, so that readers can load it.\n";

int sFail(const char* format, const char* arg)
{
    std::fprintf(stderr, "birdtool: ");
    std::fprintf(stderr, format, arg);
    std::fprintf(stderr, "\n");
    return 1;
}

bool sNumber(const char* text, uint32_t& out)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull || text[0] == '-')
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool sReadFile(const std::string& path, std::vector<uint8_t>& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

struct Image {
    bool loader;
    uint32_t address;
    uint8_t flags;
    std::vector<uint8_t> bytes;
};

// ADDR:IMAGE[:FLAGS]
bool sParseImage(const std::string& spec, bool loader, Image& img)
{
    size_t colon = spec.find(':');
    if (colon == std::string::npos)
        return false;
    std::string path = spec.substr(colon + 1);
    uint32_t flags = 0;
    size_t last = path.rfind(':');
    if (last != std::string::npos && sNumber(path.substr(last + 1).c_str(), flags)) {
        if (flags > 7)
            return false;
        path = path.substr(0, last);
    }
    img.loader = loader;
    img.flags = static_cast<uint8_t>(flags);
    return sNumber(spec.substr(0, colon).c_str(), img.address) && sReadFile(path, img.bytes);
}

int sShow(const char* path)
{
    BirdFile bird;
    bird.path = path;
    bool verified = BirdFile::VerifyFile(path);
    if (!bird.Load()) {
        // Load again with the reader's trace on, which says why.
        Log::SetOutput(stderr);
        Log::ActivatePackage(DEBUG_BirdFile);
        bird.Load();
        return sFail("cannot load %s", path);
    }
    std::printf("file: %s%s\n", path, verified ? "" : " (header check fails)");
    std::fputs(BirdReport(bird).c_str(), stdout);
    return 0;
}

int sDump(const char* path, const char* type)
{
    uint32_t t = 0;
    if (!sNumber(type, t) || t > 31)
        return sFail("bad block type %s", type);
    BirdFile bird;
    bird.path = path;
    if (!bird.Load())
        return sFail("cannot load %s", path);
    bird.DumpBlocks(static_cast<uint8_t>(t));
    return 0;
}

int sCreate(int argc, char** argv)
{
    std::string output;
    std::vector<Image> images;
    uint32_t serialOffset = 0, descriptorOffset = 0, build = 0, serial = 0, entry = 0, format = 0x0101;
    bool haveOffsets = false, haveInfo = false, haveEntry = false;
    std::string version, model;

    for (int i = 0; i < argc; ++i) {
        std::string opt = argv[i];
        if (i + 1 >= argc)
            return sFail("%s needs a value", opt.c_str());
        const char* value = argv[++i];
        bool ok = true;
        if (opt == "-o" || opt == "--output") {
            output = value;
        } else if (opt == "--loader" || opt == "--firmware") {
            Image img;
            ok = sParseImage(value, opt == "--loader", img);
            if (ok)
                images.push_back(img);
        } else if (opt == "--serial-offset") {
            ok = sNumber(value, serialOffset);
            haveOffsets = true;
        } else if (opt == "--descriptor-offset") {
            ok = sNumber(value, descriptorOffset);
            haveOffsets = true;
        } else if (opt == "--build") {
            ok = sNumber(value, build);
            haveInfo = true;
        } else if (opt == "--version") {
            version = value;
            ok = version.size() <= 15;
            haveInfo = true;
        } else if (opt == "--serial") {
            std::string hex = std::string("0x") + value;
            ok = sNumber(hex.c_str(), serial);
            haveInfo = true;
        } else if (opt == "--model") {
            model = value;
            ok = model.size() <= 16;
            haveInfo = true;
        } else if (opt == "--entry") {
            ok = sNumber(value, entry);
            haveEntry = true;
        } else if (opt == "--format-version") {
            ok = sNumber(value, format) && format <= 0xFFFF;
        } else {
            std::fputs(USAGE, stderr);
            return sFail("unknown option %s", opt.c_str());
        }
        if (!ok)
            return sFail("bad value for %s", opt.c_str());
    }
    if (output.empty()) {
        std::fputs(USAGE, stderr);
        return sFail("%s", "create needs -o FILE");
    }

    BirdWriter w;
    for (const Image& img : images) {
        if (img.loader)
            w.AddLoader(img.address, img.bytes, img.flags);
    }
    for (const Image& img : images) {
        if (!img.loader)
            w.AddFirmware(img.address, img.bytes, img.flags);
    }
    if (haveOffsets)
        w.AddSerialOffsets(serialOffset, descriptorOffset);
    if (haveInfo)
        w.AddInfo(build, version, serial, model);
    if (haveEntry)
        w.AddEntryAddress(entry);
    if (w.Write(output, static_cast<uint16_t>(format)) != aErrNone)
        return sFail("cannot write %s", output.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "show") == 0)
        return sShow(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "dump") == 0)
        return sDump(argv[2], argv[3]);
    if (argc >= 2 && std::strcmp(argv[1], "create") == 0)
        return sCreate(argc - 2, argv + 2);
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    std::fputs(USAGE, stderr);
    return 2;
}
