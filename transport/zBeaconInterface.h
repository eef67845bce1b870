// The network interface czmq beacons use is one process-wide setting; these
// functions change it under one mutex. Any thread may call them. The lock is
// held from a ...AndLock call to the matching unlock, which must come from
// the same thread; between the two the holder may run one beacon.
#ifndef CORVESTEL_TRANSPORT_ZBEACONINTERFACE_H
#define CORVESTEL_TRANSPORT_ZBEACONINTERFACE_H

#include <string>

// Takes the lock and selects text (dotted IPv4, "" or "*") as the beacon
// interface. 1 when done; 0 for any other text (nothing is locked then).
int zBeaconInterface_setAndLock(const char* text);
// As setAndLock, but first saves the interface in use for
// zBeaconInterface_restoreAndUnlock.
int zBeaconInterface_backupSetAndLock(const char* text);
// Puts the saved interface back and releases the lock; only after a
// successful zBeaconInterface_backupSetAndLock.
void zBeaconInterface_restoreAndUnlock();
// Releases the lock without changing the interface.
void zBeaconInterface_unlock();
// The interface in use.
std::string zBeaconInterface_get();
// Takes the lock and returns the interface in use.
std::string zBeaconInterface_getAndLock();
// The interface saved by the last backupSetAndLock.
std::string zBeaconInterface_getBackup();
// Takes the lock and returns the saved interface.
std::string zBeaconInterface_getBackupAndLock();

#endif
