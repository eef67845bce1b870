// Joinable threads. A handle belongs to the thread that created it; only that
// owner destroys (joins) it, and stopping the thread first is the owner's job.
#ifndef CORVESTEL_TRANSPORT_UNIX_THREAD_H
#define CORVESTEL_TRANSPORT_UNIX_THREAD_H

#include "link/aError.h"

CORVESTEL_API_BEGIN

typedef void* (*aThreadProc)(void* argument);
typedef struct aThread* aThreadRef;

// Starts function(argument) on a new joinable thread. Null when memory runs
// out or the system refuses the thread.
aThreadRef aThread_Create(aThreadProc function, void* argument);

// Waits for the thread to end, frees the handle and always nulls *thread.
// aErrParam: null handle, or the thread could not be joined.
// aErrDuplicate: a thread tried to join itself (it is detached instead).
aErr aThread_Destroy(aThreadRef* thread);

// Gives the processor to other threads for a few microseconds.
void aThread_Yield();

CORVESTEL_API_END

#endif
