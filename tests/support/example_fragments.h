// The fragment files of a directory, read the way the admin tool reads a directory of fragments:
// its own entries ending in .json, .plist or .mobileconfig in ascending name order (subfolders
// are not entered), each file's payloads parsed as policy fragments. And what the shipped
// examples, merged, promise to write.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tavra/policy_fragment.h"
#include "tavra/value.h"

namespace tavra::test {

// The names of the fragment files directly in `directory`, sorted.
std::vector<std::string> fragmentFileNames(const std::string& directory);

// The enabled fragments of those files, in file order. Throws what reading or parsing throws.
std::vector<PolicyFragment> loadFragments(const std::string& directory);

// A value the example fragments, merged by the shipped catalog's rules, promise in one rendered
// file: what that file's own parser must read at a key path.
struct ExamplePromise {
  const char* file;  // harness id "/" output id
  const char* path;  // key path
  const char* json;  // the value, as JSON text
};

// The promises, the same whether the examples are merged in-process or simulated by the tool.
const std::vector<ExamplePromise>& examplePromises();

// Expects every promise to hold in `files`: the rendered files as their parsers read them, by
// harness id "/" output id.
void expectExamplePromises(const std::map<std::string, Value>& files);

}  // namespace tavra::test
