#include "transport/zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <mutex>

#include "link/aDebugging.h"

namespace {

// The lock is taken in one call and released in another, so a plain mutex
// is held across calls rather than a guard object.
std::mutex& sLock()
{
    static std::mutex lock;
    return lock;
}

// The saved interface text; only touched with the lock held.
std::string& sBackup()
{
    static std::string backup = [] {
        std::string s;
        s.reserve(100);
        return s;
    }();
    return backup;
}

bool sAcceptable(const char* text)
{
    if (!text)
        return false;
    if (text[0] == '\0' || (text[0] == '*' && text[1] == '\0'))
        return true;
    struct in_addr a;
    return inet_pton(AF_INET, text, &a) == 1;
}

void sTake(const char* what)
{
    aDebugging_Trace(aDEBUG_BEACONLOCK, "%s PRE-LOCK\n", what);
    sLock().lock();
    aDebugging_Trace(aDEBUG_BEACONLOCK, "%s LOCKED\n", what);
}

void sRelease(const char* what)
{
    aDebugging_Trace(aDEBUG_BEACONLOCK, "%s UNLOCKING\n", what);
    sLock().unlock();
}

} // namespace

int zBeaconInterface_setAndLock(const char* text)
{
    if (!sAcceptable(text))
        return 0;
    sTake("zBeaconInterface_setAndLock");
    zsys_set_interface(text);
    return 1;
}

int zBeaconInterface_backupSetAndLock(const char* text)
{
    if (!sAcceptable(text))
        return 0;
    sTake("zBeaconInterface_backupSetAndLock");
    sBackup() = zsys_interface();
    zsys_set_interface(text);
    return 1;
}

void zBeaconInterface_restoreAndUnlock()
{
    zsys_set_interface(sBackup().c_str());
    sRelease("zBeaconInterface_restoreAndUnlock");
}

void zBeaconInterface_unlock()
{
    sRelease("zBeaconInterface_unlock");
}

std::string zBeaconInterface_get()
{
    const char* text = zsys_interface();
    return text ? text : "";
}

std::string zBeaconInterface_getAndLock()
{
    sTake("zBeaconInterface_getAndLock");
    return zBeaconInterface_get();
}

std::string zBeaconInterface_getBackup()
{
    return sBackup();
}

std::string zBeaconInterface_getBackupAndLock()
{
    sTake("zBeaconInterface_getBackupAndLock");
    return sBackup();
}
