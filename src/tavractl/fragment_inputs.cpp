#include "fragment_inputs.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "errors.h"
#include "input_file.h"
#include "tavra/error.h"
#include "tavra/platform/file_system.h"
#include "tavra/profile_builder.h"

namespace tavra::ctl {
namespace {

struct DirectoryCloser {
  void operator()(DIR* directory) const noexcept { closedir(directory); }
};

bool isFragmentFileName(const std::string& name) {
  return name.ends_with(".json") || name.ends_with(".plist") || name.ends_with(".mobileconfig");
}

// The names in `directory`, without "." and "..".
std::vector<std::string> listDirectory(const std::string& directory) {
  errno = 0;
  std::unique_ptr<DIR, DirectoryCloser> listing(opendir(directory.c_str()));
  if (!listing) throw fs::systemError(fs::lastError(), "cannot list " + directory);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(listing.get());
    if (entry == nullptr) {
      if (errno != 0) throw fs::systemError(fs::lastError(), "cannot list " + directory);
      break;
    }
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  return names;
}

std::string joined(const std::string& directory, const std::string& name) {
  return directory.ends_with("/") ? directory + name : directory + "/" + name;
}

}  // namespace

void FragmentInputs::setup(CommandTree& tree, CLI::App& command) {
  tree.addArguments(command, "paths", paths,
                    "Fragment files (.json, .plist, .mobileconfig) or directories containing them.",
                    Completion::file);
}

std::vector<std::string> FragmentInputs::files() const {
  std::vector<std::string> files;
  for (const std::string& path : paths) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) {
      throw ValidationError(path + " not found");
    }
    if (!S_ISDIR(info.st_mode)) {
      files.push_back(path);
      continue;
    }
    std::vector<std::string> names = listDirectory(path);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (isFragmentFileName(name)) files.push_back(joined(path, name));
    }
  }
  return files;
}

FragmentInputs::Loaded FragmentInputs::load() const {
  Loaded loaded;
  for (const std::string& file : files()) {
    try {
      if (isOversizedInput(file)) {
        throw TavraError::io("cannot read " + file + ": " + maxInputText);
      }
      for (const auto& payload : ProfileBuilder::fragmentPayloads(file)) {
        if (auto fragment = PolicyFragment::parse(payload.domain, payload.value)) {
          loaded.fragments.push_back(std::move(*fragment));
        }
      }
    } catch (const std::exception& error) {
      loaded.errors.push_back(file + ": " + describe(error));
    }
  }
  return loaded;
}

}  // namespace tavra::ctl
