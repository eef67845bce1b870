#include "PyModule.h"

#include "PyDiscovery.h"
#include "PyErrors.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace py = pybind11;
using Quorvane::Corvestel::Module;

namespace corvestel_py {

namespace {

// Open modules, for closeAll; changed only with the GIL held.
std::set<PyModule*>& sOpen()
{
    static std::set<PyModule*>* open = new std::set<PyModule*>;
    return *open;
}

std::string sSerialText(uint32_t serial)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// The module answers that it has no such option.
bool sMissing(aErr err)
{
    return err == aErrInvalidOption || err == aErrInvalidEntity || err == aErrUnimplemented;
}

} // namespace

PyModule::PyModule(linkType type, uint32_t serial)
    : m_type(type), m_serial(serial)
{
}

std::unique_ptr<PyModule> PyModule::connect(py::object target, const std::string& transport, bool share,
    uint8_t model)
{
    linkType type = parseTransport(transport);
    linkSpec spec{};
    bool haveSpec = false;
    uint32_t serial = 0;
    if (py::isinstance<ModuleInfo>(target)) {
        spec = target.cast<const ModuleInfo&>().spec;
        haveSpec = true;
        type = spec.type;
        serial = spec.serialNumber;
    } else {
        const long long number = target.cast<long long>();
        if (number <= 0 || number > 0xFFFFFFFFLL)
            throw py::value_error("a serial number is a 32-bit number other than 0");
        serial = static_cast<uint32_t>(number);
    }
    if (share && type != Quorvane::Corvestel::USB)
        throw py::value_error("only a module on USB can be shared");

    std::unique_ptr<PyModule> self(new PyModule(type, serial));
    const uint8_t address = haveSpec && spec.module != 0 ? static_cast<uint8_t>(spec.module) : 2;
    self->m_module.reset(new Module(address, model));
    self->m_system.init(self->m_module.get(), 0);
    aErr err = aErrNone;
    {
        py::gil_scoped_release release;
        err = setNetworking(*self->m_module, share || type == Quorvane::Corvestel::AETHER);
        if (err == aErrNone)
            err = haveSpec ? self->m_module->connectFromSpec(spec) : self->m_module->connect(type, serial);
    }
    if (err != aErrNone) {
        std::string text = errorText("cannot reach " + sSerialText(serial) + " over " + transportName(type), err);
        if (err == aErrPermission)
            text += "; a module's USB node may not be opened by this user: install the udev rules "
                    "70-corvestel.rules or add the user to the group plugdev, then plug the module in again";
        throw LibraryError(err, text);
    }
    self->m_open = true;
    sOpen().insert(self.get());
    return self;
}

PyModule::~PyModule()
{
    close();
    // A callback that let go of its module's last reference still runs on
    // the state it was called with: that state outlives the module.
    if (inStreamCallback()) {
        static auto* kept = new std::vector<std::shared_ptr<StreamState>>;
        kept->insert(kept->end(), m_streams.begin(), m_streams.end());
    }
}

void PyModule::close()
{
    sOpen().erase(this);
    for (auto& state : m_streams)
        deactivate(*state);
    if (m_module) {
        py::gil_scoped_release release;
        // The link's callback thread ends with it.
        m_module->disconnect();
    }
    m_open = false;
    // The states stay until the module goes: a callback that closed its own
    // module is still running on one of them.
}

bool PyModule::connected() const
{
    return m_open && m_module && m_module->isConnected();
}

std::string PyModule::what(const char* action) const
{
    return std::string(action) + " of " + sSerialText(m_serial);
}

Module& PyModule::live()
{
    if (!m_open)
        throw LibraryError(aErrConnection, errorText(what("the link") + " is closed", aErrConnection));
    return *m_module;
}

uint32_t PyModule::get32(uint8_t option, const char* name)
{
    live();
    uint32_t value = 0;
    aErr err;
    {
        py::gil_scoped_release release;
        err = m_system.getUEI32(option, &value);
    }
    check(err, what(name));
    return value;
}

uint8_t PyModule::get8(uint8_t option, const char* name)
{
    live();
    uint8_t value = 0;
    aErr err;
    {
        py::gil_scoped_release release;
        err = m_system.getUEI8(option, &value);
    }
    check(err, what(name));
    return value;
}

py::object PyModule::optional32(uint8_t option, const char* name)
{
    live();
    uint32_t value = 0;
    aErr err;
    {
        py::gil_scoped_release release;
        err = m_system.getUEI32(option, &value);
    }
    if (sMissing(err))
        return py::none();
    check(err, what(name));
    return py::int_(value);
}

uint32_t PyModule::build()
{
    Module& module = live();
    uint32_t value = 0;
    aErr err;
    {
        py::gil_scoped_release release;
        err = module.getBuild(&value);
    }
    check(err, what("build"));
    return value;
}

std::string PyModule::name()
{
    live();
    uint8_t buffer[256];
    size_t count = 0;
    aErr err;
    {
        py::gil_scoped_release release;
        err = m_system.getName(buffer, sizeof buffer, &count);
    }
    check(err, what("name"));
    std::string text(reinterpret_cast<const char*>(buffer), std::min(count, sizeof buffer));
    text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
    return text;
}

std::shared_ptr<StreamState> PyModule::startStream(uint8_t command, uint8_t option, uint8_t index,
    py::object callback, size_t queueSize)
{
    Module& module = live();
    if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
        throw py::type_error("callback must be callable or None");
    if (queueSize == 0)
        throw py::value_error("queue_size must be at least 1");
    auto state = std::make_shared<StreamState>();
    state->callbackForm = !callback.is_none();
    state->callback = callback;
    state->capacity = queueSize;
    state->module = module.getModuleAddress();
    state->command = command;
    state->option = option;
    state->index = index;
    aErr err;
    {
        py::gil_scoped_release release;
        err = module.getLink()->registerStreamCallback(state->module, command, option, index, true,
            onStreamSample, state.get());
    }
    // Kept even when the registration failed: the link may have queued a
    // sample naming it meanwhile.
    m_streams.push_back(state);
    if (err != aErrNone) {
        deactivate(*state);
        check(err, what("stream"), false);
    }
    return state;
}

void PyModule::stopStream(const std::shared_ptr<StreamState>& state)
{
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->active)
            return;
    }
    deactivate(*state);
    if (!m_open)
        return;
    aErr err;
    {
        py::gil_scoped_release release;
        err = m_module->getLink()->registerStreamCallback(state->module, state->command, state->option,
            state->index, false, nullptr, nullptr);
    }
    // A link that dropped meanwhile ended the stream all the same.
    if (err != aErrConnection)
        check(err, what("stopping a stream"), false);
}

uint8_t PyModule::address() const
{
    return m_module ? m_module->getModuleAddress() : 0;
}

uint32_t PyModule::dropCount() const
{
    return m_open ? m_module->getLink()->getDropCount() : 0;
}

py::object PyModule::port() const
{
    aEtherConfig config;
    if (!m_open || m_module->getConfig(&config) != aErrNone || config.assignedPort == 0)
        return py::none();
    return py::int_(config.assignedPort);
}

std::string PyModule::repr() const
{
    return "<corvestel.Module " + sSerialText(m_serial) + " " + transportName(m_type) +
        (m_open ? " address " + std::to_string(address()) : std::string(" closed")) + ">";
}

void PyModule::closeAll()
{
    std::set<PyModule*> open = sOpen();
    for (PyModule* module : open)
        module->close();
}

void registerModule(py::module_& m)
{
    using namespace Quorvane::Corvestel;
    py::class_<PyModule>(m, "Module",
        "A connected module: its identity and values, and its value streams.\n\n"
        "Made by Module.connect(); also a context manager that closes the link on leaving:\n\n"
        "    with corvestel.Module.connect(0x40F5849A, transport=\"usb\") as m:\n"
        "        print(m.version)\n\n"
        "Every property asks the module and raises corvestel.Error (TimeoutError when it does not\n"
        "answer, ConnectionError once the link is closed).")
        .def_static("connect", &PyModule::connect, py::arg("serial"), py::arg("transport") = "usb", py::kw_only(),
            py::arg("share") = false, py::arg("model") = 0,
            "connect(serial, transport=\"usb\", *, share=False, model=0) -> Module\n\n"
            "Finds the module with this serial number (or the ModuleInfo from discover()) over\n"
            "\"usb\", \"tcpip\" or \"aether\" (a USB module that another process shares) and connects.\n"
            "With share, a USB module is served through a local network server that other processes\n"
            "reach as \"aether\" while this link is open. Raises NotFoundError when no such module\n"
            "answers, PermissionError when its USB node may not be opened by this user.")
        .def("close", &PyModule::close, "close()\n\nEnds the streams and the link. Harmless when already closed.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyModule& self, py::args) { self.close(); return false; })
        .def_property_readonly("connected", &PyModule::connected, "True while the link runs.")
        .def_property_readonly("serial", [](PyModule& s) { return s.get32(systemOPTION_SERIAL_NUMBER, "serial number"); },
            "Serial number, as the module reports it.")
        .def_property_readonly("serial_text",
            [](PyModule& s) { return sSerialText(s.get32(systemOPTION_SERIAL_NUMBER, "serial number")); },
            "Serial number as eight hexadecimal digits.")
        .def_property_readonly("model", [](PyModule& s) { return s.get8(systemOPTION_MODEL, "model"); }, "Model number.")
        .def_property_readonly("model_name",
            [](PyModule& s) { return std::string(aDefs_GetModelName(s.get8(systemOPTION_MODEL, "model"))); },
            "Model name.")
        .def_property_readonly("version",
            [](PyModule& s) { return versionText(s.get32(systemOPTION_VERSION, "version")); },
            "Firmware version as text (\"2.15.7\").")
        .def_property_readonly("version_tuple",
            [](PyModule& s) { return versionTuple(s.get32(systemOPTION_VERSION, "version")); },
            "Firmware version as (major, minor, patch).")
        .def_property_readonly("build", &PyModule::build, "Firmware build number.")
        .def_property_readonly("name", &PyModule::name, "The module's name.")
        .def_property_readonly("uptime", [](PyModule& s) { return s.optional32(systemOPTION_UPTIME, "uptime"); },
            "Uptime as the module counts it; None when the module has no such value.")
        .def_property_readonly("input_voltage",
            [](PyModule& s) { return s.optional32(systemOPTION_INPUT_VOLTAGE, "input voltage"); },
            "Input voltage (module units); None when the module has no such value.")
        .def_property_readonly("input_current",
            [](PyModule& s) { return s.optional32(systemOPTION_INPUT_CURRENT, "input current"); },
            "Input current (module units); None when the module has no such value.")
        .def_property_readonly("module_address", &PyModule::address, "The address requests go to.")
        .def_property_readonly("link_type", [](const PyModule& s) { return std::string(transportName(s.type())); },
            "\"USB\", \"TCPIP\" or \"AETHER\".")
        .def_property_readonly("drop_count", &PyModule::dropCount, "How often the link lost its connection.")
        .def_property_readonly("port", &PyModule::port,
            "The local network server's port of a shared USB module, else None.")
        .def("stream",
            [](py::object self, uint8_t command, uint8_t option, uint8_t index, py::object callback,
                size_t queueSize) {
                PyModule& module = self.cast<PyModule&>();
                auto state = module.startStream(command, option, index, callback, queueSize);
                return PyStream(state, &module, self);
            },
            py::arg("command"), py::arg("option"), py::arg("index") = 0, py::arg("callback") = py::none(),
            py::kw_only(), py::arg("queue_size") = 1000,
            "stream(command, option, index=0, callback=None, *, queue_size=1000) -> Stream\n\n"
            "Asks the module to stream one value (an option of 0xFF: every option of that entity) and\n"
            "returns the Stream. With a callback, callback(sample) runs on the library's callback\n"
            "thread with the GIL taken for every Sample; an exception it raises is counted\n"
            "(Stream.errors), the first one kept and raised again by Stream.stop(). Without one,\n"
            "iterate the Stream: samples wait in a queue of queue_size, and samples that find it full\n"
            "are dropped and counted (Stream.drops).")
        .def("__repr__", &PyModule::repr);
    m.def("_close_all", &PyModule::closeAll, "_close_all()\n\nCloses every open module (at interpreter exit).");
}

} // namespace corvestel_py
