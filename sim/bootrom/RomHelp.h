// The text of corvestel-bootrom --help.
#ifndef SIM_BOOTROM_ROMHELP_H
#define SIM_BOOTROM_ROMHELP_H

const char* RomHelpText();

#endif
