#include "PyErrors.h"

namespace py = pybind11;

namespace corvestel_py {

LibraryError::LibraryError(aErr code, const std::string& message)
    : std::runtime_error(message), m_code(code)
{
}

std::string errorText(const std::string& what, aErr code)
{
    return what + ": " + aError_GetErrorText(code) + " (" + aError_GetErrorDescription(code) + ")";
}

void check(aErr code, const std::string& what, bool valueOk)
{
    if (code == aErrNone || (valueOk && code == aErrStreamStale))
        return;
    throw LibraryError(code, errorText(what, code));
}

void registerErrors(py::module_& m)
{
    // The classes live in Python (they derive from Python's own exceptions);
    // keep the factory for the translator.
    py::object errors = py::module_::import("corvestel._errors");
    for (const char* name : {"Error", "TimeoutError", "NotFoundError", "PermissionError", "ConnectionError"})
        m.attr(name) = errors.attr(name);
    static py::object* make = new py::object(errors.attr("_make")); // lives as long as the process
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const LibraryError& e) {
            py::object error = (*make)(static_cast<uint32_t>(e.code()), aError_GetErrorText(e.code()), e.what());
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        }
    });
}

} // namespace corvestel_py
