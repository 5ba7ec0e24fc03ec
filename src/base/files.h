// Writing output files so that a failed write never leaves a truncated file where a good one stood.
#pragma once

#include <optional>
#include <string>

namespace tv {

// Writes the bytes to a temporary file beside `path`, then renames it over `path`. Returns the
// system's description of the failure, or nothing on success; on failure `path` is untouched.
std::optional<std::string> writeFileReplacing(const std::string& path, const std::string& bytes);

// A temporary name beside `path` for outputs that are written piece by piece; a failed run removes it.
std::string temporaryBeside(const std::string& path);

// Why the path cannot be read as an input file (a folder, a FIFO, a device), or nothing when it
// is a regular file or does not exist (opening then reports the missing file). Opening a FIFO
// would block until a writer comes, so inputs are checked before they are opened.
std::optional<std::string> notAnInputFile(const std::string& path);

// Renames a finished temporary file into place; returns the failure's description, or nothing.
std::optional<std::string> moveIntoPlace(const std::string& temporary, const std::string& path);

}  // namespace tv
