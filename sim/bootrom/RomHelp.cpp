#include "RomHelp.h"

const char* RomHelpText()
{
    return R"(usage: corvestel-bootrom --kind isp|sdp [options]

Plays the boot ROM of a module's chip on a pseudo-terminal, written from the
chip's side: the serial in-system-programming loader of an LPC17xx (isp) or
the serial download ROM of an i.MX RT1050 (sdp). Once the terminal is open
it prints "READY PTY-PATH" on standard output; open that path as the serial
port (Updater -N -s PTY-PATH, -U -t RECOVER -s PTY-PATH).

Options:
  --kind isp|sdp        which boot ROM to play (required)
  --uid W0,W1,W2,W3     the chip's 128-bit identity, four hexadecimal words
                        (isp; default 11223344,55667788,99AABBCC,DDEEFF00)
  --echo on|off         isp: echo received characters at start (on)
  --fault NAME          switch a fault on; repeatable:
                          silent       never answer (isp, sdp)
                          badsum-once  refuse the first data checksum (isp)
                          garble       answer with other bytes (isp)
                          early        speak once in the middle of a file (sdp)
                          badstatus    report a wrong status word (sdp)
  --trace FILE          write one line per event: START, rx/tx bytes, the
                        commands understood, END
  --dump-dir DIR        where DUMP writes the memory files: flash.bin,
                        ram.bin and state.txt (isp), sdp.txt (sdp)
  --control-stdin       read control commands on standard input; the ROM
                        ends when standard input closes
  --lifetime SECONDS    end by itself after this long (default 300)
  --baud RATE           pace the line like a UART at RATE (10 bits a byte,
                        each way); 0, the default, moves bytes at once
  --hid                 sdp: the ROM as the USB HID device 1FC9:0130 behind the
                        simulated USB bus (corvestel-usbbus --imxrom pty=PTY-PATH):
                        no association; each answer goes out framed as an
                        input report ("R", report id, 16-bit little-endian
                        length, bytes)
  --hab open|closed     sdp: the chip's security state, sent first in every
                        answer (open 56787856, closed 12343412); a closed
                        chip takes files but refuses to run them, since none
                        is signed: it answers the jump with the state and
                        the failure status 33333333 and stays in the ROM
                        (trace "REFUSED JUMP ADDRESS") (open)
  --help, -h            this text

Replay of a host's recording (Updater --record FILE), instead of a ROM:
  corvestel-bootrom --replay FILE [--speed recorded|max] [--lifetime S]
                        plays the ROM's side of the recorded serial line on a
                        pseudo-terminal ("READY PTY-PATH"): the host's bytes
                        are compared with the recorded ones, the ROM's sent
                        again, at the recorded pace or at once (max). Ends
                        with "replay complete: N records" (0), "replay
                        diverged at record N: expected HEX, got HEX ..." (1),
                        or refuses a bad recording with its line number (2).

Control commands (--control-stdin), one per line, each answered by one line
on standard output, "OK" or "ERR ...":
  DUMP                  write the memory files into --dump-dir
  FAULT +NAME           switch a fault on
  FAULT -NAME           switch a fault off

The ROM ends on SIGTERM or SIGINT, at the end of its lifetime, when the
process that started it goes away, and when standard input closes
(--control-stdin). Exit status: 0 after a run or --help, 1 when the
terminal or the trace cannot be opened, 2 for a bad command line.
)";
}
