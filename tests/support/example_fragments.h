// The fragment files of a directory, read the way the admin tool reads a directory of fragments:
// its own entries ending in .json, .plist or .mobileconfig in ascending name order (subfolders
// are not entered), each file's payloads parsed as policy fragments.
#pragma once

#include <string>
#include <vector>

#include "tavra/policy_fragment.h"

namespace tavra::test {

// The names of the fragment files directly in `directory`, sorted.
std::vector<std::string> fragmentFileNames(const std::string& directory);

// The enabled fragments of those files, in file order. Throws what reading or parsing throws.
std::vector<PolicyFragment> loadFragments(const std::string& directory);

}  // namespace tavra::test
