// corvestel-bootrom --replay FILE [--speed recorded|max] [--lifetime S]:
// the boot ROM's side of a host's recording, on a pseudo-terminal.
#ifndef CORVESTEL_SIM_ROMREPLAY_H
#define CORVESTEL_SIM_ROMREPLAY_H

// 0 when the host sent all that was recorded, 1 at the first difference, 2
// for a recording that can't be played (the pseudo-terminal is not opened).
int RunRomReplay(int argc, char** argv);

#endif
