// Turns the command line into a Parameters record.
#ifndef UPDATER_APP_PARAMETERREADER_H
#define UPDATER_APP_PARAMETERREADER_H

#include <cstdint>

#include "app/Parameters.h"
#include "base/UpdaterDisplayInterface.h"

// Fills every default, then processes the options in order. Rejected values
// are reported through the display and make the result 1; parsing goes on
// so that several can be reported. A help option ends the parse with 0.
int ReadParameters(UpdaterDisplayInterface& display, int argc, const char* const* argv,
                   Parameters& parameters);

// Base-16 value of a text made only of hexadecimal digits (an empty text
// gives 0); end is then set past the digits. Any other character, or a value
// beyond 32 bits, gives 0: end is left as it was for a bad character and set
// to the text itself for a value too large. A null end gives 0.
uint32_t ReadHexArgument(const char* text, const char** end);
// The same with decimal digits.
uint32_t ReadDecimalArgument(const char* text, const char** end);

#endif
