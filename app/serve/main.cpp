// corvestel-serve: shares one module attached by USB with other programs
// through the local network server, until SIGTERM or SIGINT. Without
// --foreground it goes to the background once it serves; the first process
// waits for that and exits with its result.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/serve/ServeOptions.h"
#include "link/aDefs.h"
#include "link/aLink.h"
#include "link/aVersion.h"
#include "transport/cvusb_driver.h"
#include "transport/discover.h"

namespace {

const uint32_t LOOPBACK = 0x0100007F; // 127.0.0.1 in network order

void sError(const char* format, uint32_t serial, const char* more = "")
{
    std::fprintf(stderr, format, static_cast<unsigned>(serial), more);
    std::fputc('\n', stderr);
}

// Names each module node that this thread's last USB search or open could
// not open for lack of rights, with the fix; true when there was one.
bool sReportRefused()
{
    char node[CVUSB_NODESIZE];
    uint32_t i = 0;
    for (; cvusb_refused_node(i, node, sizeof node); i++)
        std::fprintf(stderr,
            "Permission denied on %s (a Corvestel module, USB %04X): install the udev rules 70-corvestel.rules "
            "or add your user to the plugdev group, then plug the module in again\n",
            node, static_cast<unsigned>(CORVESTEL_USB_VENDOR_ID));
    return i > 0;
}

// The module's model, from its USB identity; 0 when it is not on the bus.
uint8_t sFindOnUsb(uint32_t serial)
{
    linkSpec* spec = aDiscovery_FindModule(USB, serial, 0);
    uint8_t model = spec ? static_cast<uint8_t>(spec->model) : 0;
    if (spec)
        aLinkSpec_Destroy(&spec);
    return model;
}

// The server keeps its keys in a folder only its owner may open and will
// not start with one that others may enter: say so, with the fix.
bool sKeyFolderIsPrivate()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return true;
    const std::string folder = std::string(home) + "/.quorvane/aether";
    struct stat st;
    if (lstat(folder.c_str(), &st) != 0)
        return true; // made on first use
    if (S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0)
        return true;
    std::fprintf(stderr, "The key folder %s must be a folder of yours that nobody else may open: chmod 700 %s\n",
        folder.c_str(), folder.c_str());
    return false;
}

// Opens the module and serves it; the link to close at the end, or 0 after
// saying why not.
uint32_t sServe(const ServeOptions& o)
{
    if (!sKeyFolderIsPrivate())
        return 0;
    const uint8_t model = sFindOnUsb(o.serial);
    if (model == 0) {
        if (!sReportRefused())
            sError("No module %08X on USB: plug it in, or list the modules with Updater -D", o.serial);
        return 0;
    }
    uint16_t port = 0;
    uint32_t address = o.network ? o.address : LOOPBACK;
    cvusb_begin_refusals(); // the search's refusals are not the open's
    uint32_t link = aLink_CreateServer(o.serial, &port, &address, o.network ? 0 : 1);
    if (!link) {
        if (!sReportRefused())
            sError("Module %08X is busy: another program holds it (an Updater at work, or a corvestel-serve "
                   "already sharing it: Updater -D -t AETHER lists the shared modules)",
                o.serial);
        return 0;
    }
    char text[INET_ADDRSTRLEN] = "?";
    aDiscovery_ConvertIPv4Interface(address, text, sizeof text);
    std::printf("Serving module %08X (%s) on %s:%u, %s\n", static_cast<unsigned>(o.serial),
        aDefs_GetModelName(model), text, static_cast<unsigned>(port), o.network ? "network" : "local only");
    std::fflush(stdout);
    return link;
}

// Forks; the parent waits for the child's word (one byte, its exit status)
// and exits with it. The child gets its own session.
void sToBackground(int& report)
{
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("corvestel-serve: pipe");
        std::exit(1);
    }
    pid_t child = fork();
    if (child < 0) {
        std::perror("corvestel-serve: fork");
        std::exit(1);
    }
    if (child > 0) {
        close(fds[1]);
        unsigned char status = 1;
        ssize_t n;
        do
            n = read(fds[0], &status, 1);
        while (n < 0 && errno == EINTR);
        std::_Exit(n == 1 ? status : 1);
    }
    close(fds[0]);
    setsid();
    report = fds[1];
}

void sReport(int& report, unsigned char status)
{
    if (report < 0)
        return;
    if (write(report, &status, 1) != 1) {
        // The first process is gone; nothing is waiting for the word.
    }
    close(report);
    report = -1;
}

void sDetachOutput()
{
    int null = open("/dev/null", O_RDWR);
    if (null < 0)
        return;
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO)
        close(null);
}

} // namespace

int main(int argc, char** argv)
{
    ServeOptions options;
    std::string error;
    if (!ParseServeOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "corvestel-serve: %s\n%s", error.c_str(), ServeUsage());
        return 1;
    }
    if (options.help) {
        std::fputs(ServeUsage(), stdout);
        return 0;
    }

    // Every thread made from here on inherits these blocked signals, so the
    // stop request reaches only the wait below (and no library's handler).
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    setenv("ZSYS_SIGHANDLER", "false", 1);

    int report = -1;
    if (!options.foreground)
        sToBackground(report);
    uint32_t link = sServe(options);
    if (!link) {
        sReport(report, 1);
        return 1;
    }
    if (report >= 0) {
        sReport(report, 0);
        sDetachOutput();
    }
    int signal = 0;
    while (sigwait(&stop, &signal) != 0) {
    }
    aLink_Destroy(&link);
    if (options.foreground)
        std::printf("Stopped serving module %08X\n", static_cast<unsigned>(options.serial));
    return 0;
}
