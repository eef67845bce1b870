#include "transport/unix_thread.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <pthread.h>

struct aThread {
    pthread_t thread;
};

aThreadRef aThread_Create(aThreadProc function, void* argument)
{
    if (!function)
        return nullptr;
    aThread* t = static_cast<aThread*>(std::calloc(1, sizeof(aThread)));
    if (!t)
        return nullptr;
    if (pthread_create(&t->thread, nullptr, function, argument) != 0) {
        std::free(t);
        return nullptr;
    }
    return t;
}

aErr aThread_Destroy(aThreadRef* ref)
{
    if (!ref || !*ref)
        return aErrParam;
    aThread* t = *ref;
    *ref = nullptr;
    int rc = pthread_join(t->thread, nullptr);
    aErr err = aErrNone;
    if (rc == EDEADLK) {
        // Joining oneself can never finish; let the system reap it instead.
        pthread_detach(t->thread);
        err = aErrDuplicate;
    } else if (rc != 0) {
        err = aErrParam;
    }
    std::free(t);
    return err;
}

void aThread_Yield()
{
    struct timespec pause = {0, 5000};
    nanosleep(&pause, nullptr);
}
