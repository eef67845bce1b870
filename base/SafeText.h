// Text from outside (the update server, a module, a file) on its way to the
// terminal: control characters could move the cursor, rewrite earlier lines
// or change the terminal's settings, so they are replaced before printing.
#ifndef UPDATER_BASE_SAFETEXT_H
#define UPDATER_BASE_SAFETEXT_H

#include <cstddef>
#include <string>

// Replaces every control character (below 0x20, and 0x7F) of the first
// length bytes with '?', except the line feeds and tabs that keep, lines
// and columns in place.
void SafeText_Replace(char* text, size_t length);

// The same on a copy; here line feeds and tabs go too (one line, one field).
std::string SafeText_Field(const std::string& text);

#endif
