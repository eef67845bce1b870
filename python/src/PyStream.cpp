#include "PyStream.h"

#include "PyErrors.h"
#include "PyModule.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace py = pybind11;
using Quorvane::Corvestel::Link;

namespace corvestel_py {

namespace {

bool sFinalizing()
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// The state whose callback this thread is running, if any: stopping from
// inside a callback cannot wait for that callback to end.
thread_local StreamState* tRunning = nullptr;

void sCall(StreamState& state, const Sample& sample)
{
    py::gil_scoped_acquire gil;
    try {
        state.callback(sample);
    } catch (py::error_already_set& e) {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.errors++;
        if (!state.firstError) {
            // The exception keeps its traceback, for raising it again.
            py::object value = e.value();
            if (e.trace())
                PyException_SetTraceback(value.ptr(), e.trace().ptr());
            state.firstError = value;
        }
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.errors++;
        if (!state.firstError)
            state.firstError = py::reinterpret_steal<py::object>(PyObject_CallFunction(PyExc_RuntimeError, "s", e.what()));
    }
}

} // namespace

uint8_t onStreamSample(const aPacket* packet, void* reference)
{
    StreamState& state = *static_cast<StreamState*>(reference);
    Sample sample;
    uint64_t timestamp = 0;
    if (Link::getStreamSample(packet, &timestamp, &sample.value, &sample.subindex) != aErrNone)
        return 0; // a bytes stream: no value to hand over
    Link::getTimestampParts(timestamp, &sample.seconds, &sample.microseconds);
    sample.command = packet->data[0];
    sample.option = packet->data[1] & 0x3F;
    sample.index = packet->data[2] & 0x1F;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.active)
            return 0;
        state.received++;
        if (!state.callbackForm) {
            if (state.queue.size() >= state.capacity)
                state.dropped++;
            else
                state.queue.push_back(sample);
            state.changed.notify_all();
            return 0;
        }
        state.inFlight++;
    }
    // The interpreter is going away: no Python code runs any more.
    if (Py_IsInitialized() && !sFinalizing()) {
        tRunning = &state;
        sCall(state, sample);
        tRunning = nullptr;
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    state.inFlight--;
    state.changed.notify_all();
    return 0;
}

bool inStreamCallback()
{
    return tRunning != nullptr;
}

void deactivate(StreamState& state)
{
    std::unique_lock<std::mutex> lock(state.mutex);
    state.active = false;
    state.changed.notify_all();
    if (tRunning == &state || state.inFlight == 0)
        return;
    lock.unlock();
    py::gil_scoped_release release;
    lock.lock();
    state.changed.wait(lock, [&] { return state.inFlight == 0; });
}

PyStream::PyStream(std::shared_ptr<StreamState> s, PyModule* module, py::object moduleObject)
    : state(std::move(s)), owner(module), ownerObject(std::move(moduleObject))
{
}

void PyStream::stop(bool raise)
{
    owner->stopStream(state);
    if (raise)
        raiseKept();
}

void PyStream::raiseKept()
{
    py::object error;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        error = state->firstError;
    }
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }
}

bool PyStream::waitForSample(double seconds)
{
    // Waits in slices so that Ctrl-C and other signals get through.
    const auto deadline = std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        {
            py::gil_scoped_release release;
            std::unique_lock<std::mutex> lock(state->mutex);
            const auto slice = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
            state->changed.wait_until(lock, slice, [&] { return !state->queue.empty() || !state->active; });
            if (!state->queue.empty() || !state->active)
                return !state->queue.empty();
        }
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

Sample PyStream::next()
{
    if (state->callbackForm)
        throw py::type_error("a stream with a callback is not iterated");
    if (!waitForSample(1e9))
        throw py::stop_iteration();
    std::lock_guard<std::mutex> lock(state->mutex);
    Sample sample = state->queue.front();
    state->queue.pop_front();
    return sample;
}

Sample PyStream::get(py::object timeout)
{
    if (state->callbackForm)
        throw py::type_error("a stream with a callback has no queue");
    const double seconds = timeout.is_none() ? 1e9 : timeout.cast<double>();
    if (!waitForSample(seconds)) {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->active)
            throw LibraryError(aErrConnection, errorText("the stream is stopped", aErrConnection));
        throw LibraryError(aErrTimeout, errorText("no sample in time", aErrTimeout));
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    Sample sample = state->queue.front();
    state->queue.pop_front();
    return sample;
}

void registerStream(py::module_& m)
{
    py::class_<Sample>(m, "Sample", "One value a module streamed, with the module's time stamp.")
        .def_readonly("command", &Sample::command, "Entity class (command code).")
        .def_readonly("option", &Sample::option, "Option code.")
        .def_readonly("index", &Sample::index, "Entity index.")
        .def_readonly("subindex", &Sample::subindex, "Sub-index (0 for values without one).")
        .def_readonly("value", &Sample::value, "The value (unsigned 32-bit).")
        .def_readonly("seconds", &Sample::seconds, "Time stamp: whole seconds.")
        .def_readonly("microseconds", &Sample::microseconds, "Time stamp: microseconds.")
        .def_property_readonly("timestamp", [](const Sample& s) { return s.seconds + s.microseconds / 1e6; },
            "Time stamp in seconds (float).")
        .def("__repr__", [](const Sample& s) {
            char text[96];
            std::snprintf(text, sizeof text, "<corvestel.Sample %u:%u:%u value %u at %u.%06u>", s.command, s.option,
                s.index, s.value, s.seconds, s.microseconds);
            return std::string(text);
        });

    py::class_<PyStream>(m, "Stream",
        "A value stream started by Module.stream(). Iterate it (without a callback) for its samples;\n"
        "stop() ends it (also on leaving a with block, and when the module is closed).")
        .def("stop", [](PyStream& s) { s.stop(true); },
            "stop()\n\nEnds the stream; raises again the first exception a callback raised.")
        .def("get", &PyStream::get, py::arg("timeout") = py::none(),
            "get(timeout=None) -> Sample\n\nThe next queued sample; TimeoutError when none comes in time,\n"
            "ConnectionError when the stream was stopped.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &PyStream::next)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
            [](PyStream& s, py::object type, py::object, py::object) {
                // An exception already on its way is not replaced by the callback's.
                s.stop(type.is_none());
                return false;
            })
        .def_property_readonly("active",
            [](PyStream& s) { std::lock_guard<std::mutex> l(s.state->mutex); return s.state->active; },
            "True until stopped.")
        .def_property_readonly("received",
            [](PyStream& s) { std::lock_guard<std::mutex> l(s.state->mutex); return s.state->received; },
            "Samples that arrived (queued, dropped or handed to the callback).")
        .def_property_readonly("drops",
            [](PyStream& s) { std::lock_guard<std::mutex> l(s.state->mutex); return s.state->dropped; },
            "Samples dropped because the queue was full.")
        .def_property_readonly("pending",
            [](PyStream& s) { std::lock_guard<std::mutex> l(s.state->mutex); return s.state->queue.size(); },
            "Samples waiting in the queue.")
        .def_property_readonly("errors",
            [](PyStream& s) { std::lock_guard<std::mutex> l(s.state->mutex); return s.state->errors; },
            "How many times the callback raised.")
        .def_property_readonly("exception",
            [](PyStream& s) {
                std::lock_guard<std::mutex> l(s.state->mutex);
                return s.state->firstError ? s.state->firstError : py::none();
            },
            "The first exception the callback raised, or None.");
}

} // namespace corvestel_py
