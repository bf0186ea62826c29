// The file operations of the catalog cache and of file catalog URLs: whole-file reads (bounded,
// never blocking on a FIFO), directory creation with mode 0755, and the atomic replacement of one
// file. Failures throw std::system_error naming the path.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavra::catalog_files {

// The whole file; throws std::system_error ("cannot read <path>: <reason>").
std::string read(const std::string& path);
// The whole file, or no value when it cannot be read for any reason.
std::optional<std::string> readIfPossible(const std::string& path);
// Creates `directory` and missing parents with mode 0755; an existing directory is accepted.
void makeDirectories(const std::string& directory);
// Replaces directory/name with `data` in one step (temporary file, sync, rename).
void writeAtomically(const std::string& directory, std::string_view name, std::string_view data);

}  // namespace tavra::catalog_files
