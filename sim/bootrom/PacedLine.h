// The serial line between the host and the simulated chip: bytes the host
// writes reach the chip, and the chip's answers reach the host, one character
// time (10 bits at the baud rate) after another, each way on its own, as on
// a UART. At baud 0 bytes move at once. Single-threaded, owned by the loop.
#ifndef SIM_BOOTROM_PACEDLINE_H
#define SIM_BOOTROM_PACEDLINE_H

#include <deque>
#include <string>

class PacedLine {
public:
    // fd: the pseudo-terminal's master side, non-blocking.
    PacedLine(int fd, int baud);

    // Takes what the host wrote (at most a UART buffer ahead of the line);
    // false when the terminal failed.
    bool ReadHost();
    // Bytes that have crossed the line to the chip by now.
    std::string Arrived(double now);
    // Queues the chip's answer; it goes out a character time per byte.
    void Send(const std::string& bytes, double now);
    // Writes what is due to the host.
    void Flush(double now);

    bool WantsInput() const { return rx.size() < BUFFER; }
    bool BlockedOutput() const { return blocked; }
    // Seconds until the next byte is due either way (negative: none).
    double NextDue(double now) const;

private:
    static const size_t BUFFER = 4096;
    struct Byte {
        double due;
        char value;
    };
    int fd;
    double byteTime;
    double rxClock = 0, txClock = 0;
    std::deque<Byte> rx, tx;
    bool blocked = false;
};

double MonotonicNow();

#endif
