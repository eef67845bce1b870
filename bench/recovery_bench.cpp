// Recovery over a serial line paced like a UART, side by side with the peer
// tools on the same simulated boot ROM, against the wire limit (the bytes the
// host sent × 10 bits / baud):
//   P3  LPC: `Updater -U -t RECOVER` (fingerprint, unlock, erase, every piece
//       written and copied, start) and lpc21isp writing the same image
//   P4  i.MX: the serial download transfer of a loader (association, status,
//       WRITE_FILE and its answer) by the Updater's SDP client and imx_uart
// Prints one table row per run; a missing peer tool gives a row saying so.
//
//   bench_recovery [--baud 115200] [--lpc-bytes 65536] [--imx-bytes 32768] [--rounds 1]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "store/BirdWriter.h"
#include "support/BootRomHarness.h"
#include "support/PeerTools.h"
#include "support/ProgramRunner.h"
#include "support/TestImages.h"
#include "support/UpdateServerHarness.h"

using namespace testimages;

namespace {

const uint32_t UID[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
const char* const UID_OPTION = "11223344,55667788,99AABBCC,DDEEFF00";
const uint32_t IMX_ADDRESS = 0x20002000;

double Seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Bytes the host sent to the ROM, from its trace.
size_t HostBytes(const BootRomHarness& rom)
{
    size_t n = 0;
    for (const std::string& line : rom.Trace())
        if (line.compare(0, 3, "rx ") == 0)
            n += (line.size() - 2) / 3;
    return n;
}

struct Row {
    const char* id;
    const char* tool;
    size_t image;
    size_t sent;
    double seconds;
    bool ok;
    std::string note;
};

void Print(const Row& r, int baud, double reference)
{
    if (r.seconds <= 0) {
        std::printf("%-3s %-22s %8zu %8s %8s %8s %6s %8s  %s\n", r.id, r.tool, r.image, "-", "-", "-", "-", "-",
                    r.note.c_str());
        return;
    }
    double wire = double(r.sent) * 10.0 / baud;
    std::printf("%-3s %-22s %8zu %8zu %8.3f %8.3f %6.3f %8.3f  %s%s\n", r.id, r.tool, r.image, r.sent, r.seconds,
                wire, r.seconds / wire, reference > 0 ? r.seconds / reference : 1.0, r.ok ? "ok" : "FAILED",
                r.note.empty() ? "" : ("; " + r.note).c_str());
}

Row LpcUpdater(int baud, const Bytes& image)
{
    Row row{"P3", "Updater -t RECOVER", image.size(), 0, 0, false, ""};
    srvtest::TempDir dir;
    BirdWriter w;
    w.AddInfo(1, "1.0.0", 0x5A17C0DE, "CVR-IO");
    w.AddFirmware(0, EncodeForChip(image, UID));
    std::string bird = dir.Path() + "/recovery.bird";
    if (w.Write(bird) != aErrNone) {
        row.note = "cannot write the BIRD file";
        return row;
    }
    BootRomHarness rom;
    if (!rom.Start({"--kind", "isp", "--uid", UID_OPTION, "--baud", std::to_string(baud)})) {
        row.note = "ROM did not start";
        return row;
    }
    RunOptions options;
    options.timeoutMs = 600000;
    double start = Seconds();
    RunResult r = RunProgram({UpdaterProgramPath(), "-U", "-t", "RECOVER", "-s", rom.PtyPath(), "-d", "5A17C0DE",
                              "-f", bird, "-i", dir.Path(), "-u", UpdateServerHarness::DeadURL()},
                             options);
    row.seconds = Seconds() - start;
    std::string flash = rom.Flash();
    row.ok = r.status == 0 && flash.compare(0, image.size(), std::string(image.begin(), image.end())) == 0;
    row.sent = HostBytes(rom);
    return row;
}

Row LpcPeer(int baud, const Bytes& image)
{
    Row row{"P3", "lpc21isp", image.size(), 0, 0, false, ""};
    PeerTool tool = FindPeerTool("lpc21isp", "lpc21isp");
    if (tool.path.empty()) {
        row.note = tool.missing;
        return row;
    }
    srvtest::TempDir dir;
    std::string path = dir.Path() + "/image.bin";
    srvtest::WriteWholeFile(path, AsString(image));
    BootRomHarness rom;
    if (!rom.Start({"--kind", "isp", "--baud", std::to_string(baud)})) {
        row.note = "ROM did not start";
        return row;
    }
    RunOptions options;
    options.timeoutMs = 600000;
    double start = Seconds();
    RunResult r = RunProgram(Lpc21ispCommand(tool.path, path, rom.PtyPath(), baud, false), options);
    row.seconds = Seconds() - start;
    std::string flash = rom.Flash();
    row.ok = r.status == 0 && flash.compare(0, image.size(), std::string(image.begin(), image.end())) == 0;
    row.sent = HostBytes(rom);
    return row;
}

bool ImxLanded(BootRomHarness& rom, const Bytes& image)
{
    std::vector<std::pair<uint32_t, std::string>> writes;
    bool jumped = false;
    uint32_t jump = 0;
    return rom.SdpState(writes, jumped, jump) && writes.size() == 1 && writes[0].first == IMX_ADDRESS &&
           writes[0].second == std::string(image.begin(), image.end());
}

Row ImxUpdater(int baud, const Bytes& image)
{
    Row row{"P4", "Updater SDP client", image.size(), 0, 0, false, ""};
    BootRomHarness rom;
    if (!rom.Start({"--kind", "sdp", "--baud", std::to_string(baud)})) {
        row.note = "ROM did not start";
        return row;
    }
    double start = Seconds();
    bool ok;
    {
        SDPLoader loader;
        loader.setLoader(new Serial_SDPLoader(rom.PtyPath()));
        ok = loader.init() == SDPLoader::SDP_OK && loader.writeLoader(image, IMX_ADDRESS) == SDPLoader::SDP_OK;
        row.seconds = Seconds() - start;
        double jumpStart = Seconds();
        loader.startLoader(IMX_ADDRESS);
        char note[96];
        std::snprintf(note, sizeof note, "the jump and its answer wait take %.3f s more", Seconds() - jumpStart);
        row.note = note;
    }
    row.ok = ok && ImxLanded(rom, image);
    row.sent = HostBytes(rom) - 16; // the jump is not part of the transfer
    return row;
}

Row ImxPeer(int baud, const Bytes& image)
{
    Row row{"P4", "imx_uart", image.size(), 0, 0, false, ""};
    PeerTool tool = FindPeerTool("imx_uart", "imx-usb-loader");
    if (tool.path.empty()) {
        row.note = tool.missing;
        return row;
    }
    if (baud != 115200) {
        row.note = "imx_uart runs at 115200 baud only";
        return row;
    }
    srvtest::TempDir dir;
    std::string path = dir.Path() + "/loader.bin";
    srvtest::WriteWholeFile(path, AsString(image));
    BootRomHarness rom;
    if (!rom.Start({"--kind", "sdp", "--baud", std::to_string(baud)})) {
        row.note = "ROM did not start";
        return row;
    }
    std::vector<std::string> command;
    if (!ImxUartCommand(tool.path, dir.Path(), path, IMX_ADDRESS, rom.PtyPath(), false, command)) {
        row.note = "cannot write the imx_uart configuration";
        return row;
    }
    RunOptions options;
    options.timeoutMs = 600000;
    double start = Seconds();
    RunResult r = RunProgram(command, options);
    row.seconds = Seconds() - start;
    row.ok = r.status == 0 && ImxLanded(rom, image);
    row.sent = HostBytes(rom);
    return row;
}

} // namespace

int main(int argc, char** argv)
{
    int baud = 115200, rounds = 1;
    size_t lpcBytes = 65536, imxBytes = 32768;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--baud")
            baud = std::atoi(argv[i + 1]);
        else if (a == "--lpc-bytes")
            lpcBytes = size_t(std::atol(argv[i + 1]));
        else if (a == "--imx-bytes")
            imxBytes = size_t(std::atol(argv[i + 1]));
        else if (a == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: %s [--baud B] [--lpc-bytes N] [--imx-bytes N] [--rounds R]\n", argv[0]);
            return 2;
        }
    }
    if (baud <= 0 || rounds <= 0 || lpcBytes < 32 || imxBytes == 0 || lpcBytes % 4 != 0) {
        std::fprintf(stderr, "baud and rounds above 0, LPC bytes a multiple of 4 from 32\n");
        return 2;
    }
    Bytes lpcImage = RandomBytes(lpcBytes, 1), imxImage = RandomBytes(imxBytes, 2);
    MakeBootable(lpcImage);

    std::printf("# recovery on a serial line paced at %d baud; wire limit = bytes the host sent x 10 bits / baud\n",
                baud);
    std::printf("%-3s %-22s %8s %8s %8s %8s %6s %8s  %s\n", "id", "tool", "image_B", "sent_B", "seconds", "wire_s",
                "x_wire", "x_ours", "result");
    bool allOk = true;
    for (int round = 0; round < rounds; ++round) {
        // Interleaved, so a change of the machine's load touches both.
        Row ours = LpcUpdater(baud, lpcImage);
        Row peer = LpcPeer(baud, lpcImage);
        Print(ours, baud, 0);
        Print(peer, baud, ours.seconds);
        Row imxOurs = ImxUpdater(baud, imxImage);
        Row imxPeer = ImxPeer(baud, imxImage);
        Print(imxOurs, baud, 0);
        Print(imxPeer, baud, imxOurs.seconds);
        allOk = allOk && ours.ok && imxOurs.ok;
    }
    return allOk ? 0 : 1;
}
