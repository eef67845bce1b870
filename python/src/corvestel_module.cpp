// The native part of the corvestel package: discovery, modules, value
// streams and the library's errors as exceptions.
#include "PyDiscovery.h"
#include "PyErrors.h"
#include "PyModule.h"
#include "PyStream.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_corvestel, m)
{
    // The docstrings carry their own signatures, in Python's words.
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Native part of the corvestel package (import corvestel instead).";
    corvestel_py::registerErrors(m);
    corvestel_py::registerDiscovery(m);
    corvestel_py::registerStream(m);
    corvestel_py::registerModule(m);
    m.attr("library_version") = std::string(aVersion_GetString());
    m.def("error_name", [](uint32_t code) { return std::string(aError_GetErrorText(code)); },
        "error_name(code) -> str\n\nThe library's name of an error code (\"aErrTimeout\").");
}
