// The simulator's --help text: every option, module key, fault switch, file
// format and control command.
#include "sim/module/SimConfig.h"

namespace sim {

const char* helpText()
{
    return R"(corvestel-sim: simulated Corvestel modules for tests and demos.

Usage: corvestel-sim [OPTIONS] --module KEYS [--behind KEYS ...] [--module KEYS ...]

Each --module is a directly reachable module: it listens on its own TCP port
(or a pseudo-terminal) and speaks the module packet protocol. Each --behind
adds a module on the I2C network of the --module declared before it, which
then acts as a router. --fault and --stream apply to the module declared last.

Global options:
  --bind ADDR          address the module TCP ports listen on (127.0.0.1)
  --discovery IFADDR   answer network discovery searches (group 232.2.2.2,
                       port 9888, replies to port 9889) on the interface with
                       this IPv4 address; run only inside tools/netns-run
  --trace PATH         packet trace, one line per packet:
                         SERIAL rx|tx BYTES   (rx: host to module)
                         SERIAL ev TEXT       (connections, reboots, faults)
                       SERIAL is the directly reached module (the router for
                       traffic to modules behind it), BYTES the address,
                       length and data bytes in upper-case hex
  --flash-dir DIR      write each module's memory to DIR/SERIAL.flash at
                       REBOOT, on the control command "dump" and at exit:
                       header lines (serial, version, build, reboots), then
                       "REGION ADDRESS LENGTH HEX" per run of bytes; region
                       "flash" holds what WRITE committed, "loader" the image
                       sent before LOAD (which has no WRITE)
  --ready-file PATH    also write the ready report to PATH (atomically)
  --lifetime SECONDS   end by itself after this long
  --control-stdin      read control commands on standard input and end when
                       it closes (for test harnesses)
  --config FILE        read options from FILE: one per line, written without
                       the leading dashes ("module serial=1234ABCD,port=0");
                       '#' starts a comment line
  --fault SPEC         add a fault switch (see below) to the last module
  --stream C:O:I:T[:S] add a stream source to the last module
  --help               this text

Replay of a host's recording (Updater --record FILE), instead of modules:
  corvestel-sim --replay FILE [--discovery IFADDR] [--ready-file PATH]
                [--speed recorded|max] [--lifetime S]
                       plays the recorded TCP modules' side: listens on the
                       recorded ports (LISTEN ADDRESS RECORDED ACTUAL in the
                       ready report), answers the recorded discovery searches
                       on IFADDR and the update server's requests (HTTP URL),
                       checks every packet the host sends against the
                       recorded one and sends the recorded answers, at the
                       recorded pace or as soon as asked (max). Prints
                       "replay complete: N records" (exit 0), "replay
                       diverged at record N: expected HEX, got HEX ..."
                       and the record's context (exit 1), or refuses a bad recording with its line
                       number (exit 2). See doc/recording.md.

Module keys (KEY=VALUE, comma separated):
  serial=HEX       serial number (required)
  model=N          model number (13)
  address=N        module address, even (2; behind modules need their own)
  port=N           TCP port (0: any free port, reported when ready)
  link=tcp|pty     serve over TCP (default) or a pseudo-terminal
  version=M.m.p    firmware version, or a packed number (2.15.0)
  build=N          build number (1000)
  name=TEXT        name, at most 32 bytes (system option 32)
  router=N         router address, system options 2 and 16 (own address;
                   the router's for a module behind one)
  features=N       protocol features, system option 45 (bit 31: pooled)
  hb=MS            send heartbeats every MS milliseconds (0: none)
  block=N          block size answered to PREPARE (1024)
  loadbase=N       load base answered to INIT (0x20000000)
  uei=0|1          has upgrade option 10, UEI byte transfers (1)
  newversion=V     version after REBOOT (unchanged)
  newbuild=N       build after REBOOT (unchanged)
  reboot=drop|keep REBOOT closes direct connections (drop)
  load=drop|keep   LOAD closes direct connections (keep)
  loadms=MS        with load=drop: the close comes MS after the reply, and
                   requests meanwhile go unanswered (0)
  rebootms=MS      connections refused for MS after a reboot (0)
  streamms=MS      interval of stream samples (50)
  slots=N          store slots per store, stores 0-2 (4)
  slotcap=N        capacity of each store slot in bytes (1024)
  optN=VALUE       value of system option N (numeric options)
  uid=W0:W1:...    the chip's unique identifier words (hex), system option 39
                   by sub-index (none: the option is missing)
  missing=N:N      system options this module does not have
  factoryK=HEX     factory data of kind K (0-15)
  fault=SPEC       as --fault
  stream=C:O:I:T[:S] as --stream

Fault switches, KIND[:ARG][@MATCH][*COUNT]: MATCH is a hex prefix of the
request's data bytes (command first; default: any request), COUNT how often it
fires (default once; *0 every time).
  delay:MS         hold the reply back MS milliseconds
  drop             send no reply
  short[:K]        DATA: report K (1) fewer bytes accepted and discard the piece
                   (default MATCH 5F01)
  badsum           SUM: answer a wrong sum (default MATCH 5F04)
  garbage[:N]      send N (8) bytes 0xFF before the reply, breaking framing
  disconnect:N     close the connection after N bytes received
  slow:MS          every reply MS milliseconds late (default every time)
  status[:CODE]    loader PREPARE/SUM/WRITE reply carries status CODE (1)
  error:CODE       answer with an error reply carrying aErr CODE

Stream sources C:O:I:T[:S]: command, option, index, sample type (1 byte,
2 16-bit, 3 32-bit; 5-7 the same with sub-index S). Without any, a module
streams 3:4:0:1, 3:3:0:2, 3:22:0:3, 3:13:0:5:0, 3:12:0:6:1, 3:27:0:7:2 when
enabled by command 93.

Ready report (stdout, and --ready-file): one line per module, then READY:
  MODULE SERIAL tcp HOST PORT ADDRESS
  MODULE SERIAL pty PATH ADDRESS
  BEHIND SERIAL ROUTERSERIAL ADDRESS
  DISCOVERY IFADDR
  READY

Control commands (--control-stdin), one per line, each answered by one line
starting with OK or ERR:
  ping                      OK pong
  dump                      write the flash files; OK dumped
  fault SERIAL SPEC         arm a fault switch on a module
  set SERIAL KEYS           change module keys (as --module) at run time
  counters SERIAL           OK hb=N hbanswers=N connects=N reboots=N
  quit                      end the simulator

Signals: SIGTERM and SIGINT end it cleanly (flash files written); SIGUSR1
writes the flash files.
)";
}

} // namespace sim
