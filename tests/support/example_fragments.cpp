#include "support/example_fragments.h"

#include <algorithm>
#include <filesystem>

#include "support/services.h"
#include "tavra/profile_builder.h"

namespace tavra::test {

std::vector<std::string> fragmentFileNames(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.ends_with(".json") || name.ends_with(".plist") || name.ends_with(".mobileconfig")) {
      names.push_back(std::move(name));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<PolicyFragment> loadFragments(const std::string& directory) {
  std::vector<PolicyFragment> fragments;
  for (const std::string& name : fragmentFileNames(directory)) {
    for (const auto& payload :
         ProfileBuilder::fragmentPayloads(*test::files(), directory + "/" + name)) {
      if (auto fragment = PolicyFragment::parse(payload.domain, payload.value)) {
        fragments.push_back(std::move(*fragment));
      }
    }
  }
  return fragments;
}

}  // namespace tavra::test
