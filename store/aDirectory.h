// Directories and path strings: existence checks, creation of a folder with
// its parents, listing, removal, and joining path parts with bounds checks.
#ifndef UPDATER_STORE_ADIRECTORY_H
#define UPDATER_STORE_ADIRECTORY_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/aError.h"

#define aDIR_PATH_SEP "/"

// Size of the buffers every caller builds paths in.
#define aDIR_PATH_MAX 2048

// One directory entry handed to a listing callback.
struct aDirectoryListData {
    const char* path; // listed directory joined with the entry name; valid during the callback only
    uint32_t size;    // size in bytes (low 32 bits)
    bool isDirectory;
};

// Listing callback: return true to go on, false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* ref);

// True when path names an existing directory; false for a null path.
bool aDirectory_Exists(const char* path);

// Creates the directory and every missing parent with the permission bits mode.
//   aErrNone       the directory exists afterwards
//   aErrParam      null or empty path
//   aErrPermission a component could not be created
aErr aDirectory_Ensure(const char* path, uint16_t mode);

// Calls proc once for every entry that stat accepts, "." and ".." included,
// in the order the system returns them; stops when proc returns false.
//   aErrNone       listed (fully or up to the stop)
//   aErrParam      null path or callback
//   aErrNotFound   the directory cannot be opened
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);

// Removes an empty directory.
//   aErrNone       removed
//   aErrUnknown    it could not be removed
aErr aDirectory_Delete(const char* path);

// Removes a directory with everything in it.
//   aErrNone       removed
//   aErrNotFound   the directory cannot be opened
//   aErrUnknown    a file or a directory could not be removed
aErr aDirectory_DeleteTree(const char* path);

// Current working directory into buf.
//   aErrNone       done
//   aErrParam      it does not fit or cannot be read
aErr aDirectory_CWD(char* buf, size_t size);

// Path of the running executable, cut to size - 1 characters.
//   aErrNone       done
//   aErrParam      null or empty buffer
//   aErrRead       the link cannot be read
aErr aDirectory_ExecutableFilePath(char* buf, size_t size);

// Home directory of the current user (password database, else HOME).
//   aErrNone       done, buf terminated
//   aErrParam      null or empty buffer
//   aErrNotFound   neither source names a directory; buf is empty
//   aErrOverrun    it does not fit; buf holds an empty string
aErr aDirectory_GetHomeDirectory(char* buf, size_t size);

// Joins first and second into dst; see aDirectory_BuildPath.
aErr aDirectory_JoinPath(char* dst, size_t size, const char* first, const char* second);

// Joins first and the further parts (the list ends with a null pointer) into
// dst, putting one separator between parts that lack one.
//   aErrNone       joined
//   aErrParam      null dst or first, dst overlapping a part's buffer, zero
//                  size, or more than 10 parts; dst left empty
//   aErrOverrun    the text does not fit; dst keeps what was joined so far
aErr aDirectory_BuildPath(char* dst, size_t size, const char* first, ...)
    __attribute__((sentinel));

// Joins the parts (the list ends with a null pointer) into a new string with
// the separator between each pair; existing separators are not looked at.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

#endif
