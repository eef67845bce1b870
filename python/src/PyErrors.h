// Library error codes as Python exceptions: a failed call throws
// LibraryError, which the translator registered by registerErrors turns
// into the corvestel.Error subclass for its code (corvestel._errors).
#ifndef PYTHON_PYERRORS_H
#define PYTHON_PYERRORS_H

#include <corvestel/corvestel.h>

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

namespace corvestel_py {

class LibraryError : public std::runtime_error {
public:
    LibraryError(aErr code, const std::string& message);
    aErr code() const { return m_code; }

private:
    aErr m_code;
};

// "what: aErrTimeout (description)"; the text the exception carries.
std::string errorText(const std::string& what, aErr code);

// Throws LibraryError unless code is aErrNone (or, with valueOk,
// aErrStreamStale, which comes with a good value).
void check(aErr code, const std::string& what, bool valueOk = true);

// Installs the translator; the package's _errors module gives the classes.
void registerErrors(pybind11::module_& m);

} // namespace corvestel_py

#endif
