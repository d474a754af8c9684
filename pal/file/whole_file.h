// Reading a small input file whole, as the admin tools do with .reg and queue files, and
// writing whole files.
//
// A tool handed a directory, a device such as /dev/zero, a FIFO or a huge file must fail
// with a clear message instead of aborting or growing until memory runs out, so only
// regular files up to a stated limit are read.
#pragma once

#include <cstddef>
#include <string>

namespace pal {

// Reads the regular file at the Linux path `path` into `bytes`. Returns 0, or an errno
// value with a one-line reason in `why` (which names the path): ENOENT when it does not
// exist, EISDIR for a directory, EINVAL for anything else that is not a regular file,
// EFBIG when it holds more than `limit` bytes (also when it grows past it while read),
// or the error of open or read.
int ReadWholeFile(const std::string& path, size_t limit, std::string& bytes, std::string& why);

// Writes all `size` bytes to `fd`, going on after signals and short writes. False with
// errno set (EIO when the file takes no more bytes).
bool WriteAll(int fd, const void* data, size_t size);

// Replaces the file at the Linux path `path` with `text` so that readers in other
// processes see the old file or the new one, never part of it, and a crash never leaves an
// empty file under the name: a temporary file in the same directory (mode 0644) is
// written, flushed to disk and renamed over it. The directory must exist. False with
// errno set, the file at `path` then as it was.
bool ReplaceFileAtomically(const std::string& path, const std::string& text);

}  // namespace pal
