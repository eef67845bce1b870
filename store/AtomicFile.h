// Replacing a file in one step: the new contents go to a temporary file in
// the same folder, which is flushed to disk and then renamed over the old
// one. A reader sees either the old file or the new one, never a part.
#ifndef UPDATER_STORE_ATOMICFILE_H
#define UPDATER_STORE_ATOMICFILE_H

#include <cstddef>
#include <string>

#include "link/aError.h"

// Writes size bytes as the new contents of path. On any failure the old file
// (if any) is left as it was and no temporary file remains.
//   aErrNone       written
// A new file gets mode 0644 less the umask; a replaced regular file keeps
// its mode without set-id bits and without others' write permission.
//   aErrParam      null data with a non-zero size, or an empty path
//   aErrPermission path is a symbolic link (left as it is)
//   aErrNotFound   no file can be created in the folder
//   aErrIO         writing, flushing or renaming failed
aErr AtomicFile_Write(const std::string& path, const void* data, size_t size);

// The same for the entry name (no "/") of the open folder dirfd: the write
// stays in that folder whatever its path leads to meanwhile.
//   aErrParam      also a bad descriptor or a name with "/"
aErr AtomicFile_WriteAt(int dirfd, const std::string& name, const void* data, size_t size);

#endif
