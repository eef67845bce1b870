// corvestel.Module: one connected module for Python. Every call into the
// library runs with the GIL released. Two Python threads may use one module
// at once (the link matches each reply to its request); connecting and
// closing belong to one thread at a time.
#ifndef PYTHON_PYMODULE_H
#define PYTHON_PYMODULE_H

#include "PyStream.h"

#include <corvestel/corvestel.h>

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvestel_py {

class PyModule {
public:
    // target: a serial number (int) or a ModuleInfo from discover().
    // share: a USB module is served through a local network server that
    // other processes reach with transport "aether".
    static std::unique_ptr<PyModule> connect(pybind11::object target, const std::string& transport, bool share,
        uint8_t model);
    ~PyModule();
    PyModule(const PyModule&) = delete;
    PyModule& operator=(const PyModule&) = delete;

    // Ends the streams, then the link. Harmless when closed.
    void close();
    bool connected() const;

    // System entity values; aErrStreamStale counts as a value.
    uint32_t get32(uint8_t option, const char* what);
    uint8_t get8(uint8_t option, const char* what);
    // None when the module has no such option.
    pybind11::object optional32(uint8_t option, const char* what);
    uint32_t build();
    std::string name();

    std::shared_ptr<StreamState> startStream(uint8_t command, uint8_t option, uint8_t index,
        pybind11::object callback, size_t queueSize);
    void stopStream(const std::shared_ptr<StreamState>& state);

    uint32_t serialNumber() const { return m_serial; }
    linkType type() const { return m_type; }
    uint8_t address() const;
    uint32_t dropCount() const;
    pybind11::object port() const;
    std::string repr() const;

    // Closes every open module (at interpreter exit, before Python's
    // threads state goes away).
    static void closeAll();

private:
    PyModule(linkType type, uint32_t serial);
    std::string what(const char* action) const;
    Quorvane::Corvestel::Module& live(); // ConnectionError when closed

    std::unique_ptr<Quorvane::Corvestel::Module> m_module;
    Quorvane::Corvestel::SystemClass m_system;
    linkType m_type;
    uint32_t m_serial;
    bool m_open = false;
    // Every stream started on this link; kept until the link is closed.
    std::vector<std::shared_ptr<StreamState>> m_streams;
};

void registerModule(pybind11::module_& m);

} // namespace corvestel_py

#endif
