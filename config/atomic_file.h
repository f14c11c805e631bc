#pragma once

#include <string>

namespace kestro::config {

// Replaces the file at `path` with `contents` so that a crash, a full disk or
// any other failure leaves either the old file or the new one, never a torn
// or empty one. A new file is readable by its owner only (it holds the broker
// password); an existing file keeps its mode. An existing file that this
// process may not write is not replaced, just as opening it for writing
// would have failed. A writable file in a folder that is not writable cannot
// be replaced by a rename: it is rewritten in place instead, with its space
// reserved first. Symbolic links are followed, also to a target that does
// not exist yet. Returns false on any failure, leaving the old file whole,
// with errno telling why.
bool replaceFileAtomically(const std::string& path, const std::string& contents);

// Reads the whole file. Returns false when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& contents);

} // namespace kestro::config
