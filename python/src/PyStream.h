// Value streams for Python. A StreamState is the reference the link's
// callback thread gets with each sample: under its mutex it either queues
// the sample (iterator form: a bounded queue, a drop count) or marks a
// callback in flight and calls the Python callable with the GIL taken
// (callback form: an exception there is counted and the first one kept).
// Stopping marks the state inactive and waits for a callback in flight;
// the state itself lives until the link's callback thread has ended (the
// Module keeps it), as samples queued in the library may still name it.
#ifndef PYTHON_PYSTREAM_H
#define PYTHON_PYSTREAM_H

#include <corvestel/corvestel.h>

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace corvestel_py {

class PyModule;

struct Sample {
    uint8_t command = 0;
    uint8_t option = 0;
    uint8_t index = 0;
    uint8_t subindex = 0;
    uint32_t value = 0;
    uint32_t seconds = 0;      // the module's time stamp, upper half
    uint32_t microseconds = 0; // and lower half
};

struct StreamState {
    std::mutex mutex;
    std::condition_variable changed;
    bool active = true;
    bool callbackForm = false;
    unsigned inFlight = 0;
    size_t capacity = 0;
    std::deque<Sample> queue;
    uint64_t received = 0;
    uint64_t dropped = 0;
    uint64_t errors = 0;
    uint8_t module = 0, command = 0, option = 0, index = 0;
    // Touched only with the GIL held.
    pybind11::object callback;
    pybind11::object firstError;
};

// The link's callback for every StreamState (reference = the state).
uint8_t onStreamSample(const aPacket* packet, void* reference);

// True on the link's callback thread while it runs a Python callback.
bool inStreamCallback();

// Marks the state inactive and waits (GIL released) for a callback in
// flight, unless this thread is that callback. Wakes iterators.
void deactivate(StreamState& state);

// The Python Stream object: the state and the module it came from.
class PyStream {
public:
    PyStream(std::shared_ptr<StreamState> state, PyModule* owner, pybind11::object ownerObject);
    // Stops the stream; raises the first exception a callback raised.
    void stop(bool raiseKept = true);
    void raiseKept();
    Sample next(); // iterator form: the next sample; StopIteration once stopped and empty
    Sample get(pybind11::object timeout);
    std::shared_ptr<StreamState> state;

private:
    bool waitForSample(double seconds); // GIL released in slices; signals checked
    PyModule* owner;
    pybind11::object ownerObject; // keeps the module alive as long as the stream
};

void registerStream(pybind11::module_& m);

} // namespace corvestel_py

#endif
