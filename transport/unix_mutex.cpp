#include "transport/unix_mutex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_NAMESIZE];
};

aMutexRef aMutex_Create(const char* name)
{
    if (!name)
        name = "";
    size_t length = std::strlen(name);
    if (length >= aMUTEX_NAMESIZE)
        return nullptr;
    aMutex* m = static_cast<aMutex*>(std::calloc(1, sizeof(aMutex)));
    if (!m)
        return nullptr;
    // Error checking lets a second lock from the same thread be reported
    // instead of hanging the caller for good.
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        std::free(m);
        return nullptr;
    }
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    int rc = pthread_mutex_init(&m->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        std::free(m);
        return nullptr;
    }
    std::memcpy(m->name, name, length + 1);
    return m;
}

const char* aMutex_Identifier(aMutexRef mutex)
{
    return mutex ? mutex->name : nullptr;
}

aErr aMutex_Lock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EBUSY: return aErrBusy;
    default: return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EPERM: return aErrPermission;
    default: return aErrUnknown;
    }
}

aErr aMutex_Destroy(aMutexRef* ref)
{
    if (!ref || !*ref)
        return aErrParam;
    aMutex* m = *ref;
    *ref = nullptr;
    aErr err;
    switch (pthread_mutex_destroy(&m->mutex)) {
    case 0: err = aErrNone; break;
    case EINVAL: err = aErrParam; break;
    case EBUSY: err = aErrBusy; break;
    case EAGAIN: err = aErrResource; break;
    default: err = aErrUnknown; break;
    }
    std::free(m);
    return err;
}
