// Named non-recursive mutexes over pthreads. Any thread may lock and unlock a
// mutex; creating and destroying it belongs to its owner alone.
#ifndef CORVESTEL_TRANSPORT_UNIX_MUTEX_H
#define CORVESTEL_TRANSPORT_UNIX_MUTEX_H

#include "link/aError.h"

CORVESTEL_API_BEGIN

#define aMUTEX_NAMESIZE 256

typedef struct aMutex* aMutexRef;

// A new unlocked mutex; a null name gives an empty one. Null when the name has
// 256 characters or more, memory runs out or the system refuses.
aMutexRef aMutex_Create(const char* name);

// The mutex's name (points into the handle); null for a null handle.
const char* aMutex_Identifier(aMutexRef mutex);

// aErrParam: null or invalid mutex. aErrDuplicate: this thread holds it
// already. aErrUnknown: any other refusal.
aErr aMutex_Lock(aMutexRef mutex);

// aErrParam: null or invalid mutex. aErrBusy: held by someone.
// aErrUnknown: any other refusal.
aErr aMutex_TryLock(aMutexRef mutex);

// aErrParam: null or invalid mutex. aErrPermission: not held by this thread.
// aErrUnknown: any other refusal.
aErr aMutex_Unlock(aMutexRef mutex);

// Destroys the mutex, frees the handle and always nulls *mutex.
// aErrParam: null. aErrBusy: it was still locked. aErrResource, aErrUnknown:
// other refusals.
aErr aMutex_Destroy(aMutexRef* mutex);

CORVESTEL_API_END

#endif
