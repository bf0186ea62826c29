#include "fragment_inputs.h"

#include <algorithm>

#include "errors.h"
#include "input_file.h"
#include "tavra/error.h"
#include "tavra/platform/file_system.h"
#include "tavra/profile_builder.h"

namespace tavra::ctl {
namespace {

bool isFragmentFileName(const std::string& name) {
  return name.ends_with(".json") || name.ends_with(".plist") || name.ends_with(".mobileconfig");
}

// The names in `directory`, without "." and "..".
std::vector<std::string> listDirectory(const FileSystem& files, const std::string& directory) {
  std::error_code error;
  std::optional<std::vector<std::string>> names = files.list(directory, error);
  if (!names) throw fs::systemError(error, "cannot list " + directory);
  return std::move(*names);
}

struct InputFile {
  std::string path;
  InputSource source;
};

// The files `paths` stand for, in reading order: a path given that is no folder is taken as it
// is, a folder gives its fragment files.
std::vector<InputFile> inputFiles(const FileSystem& files, const std::vector<std::string>& paths) {
  std::vector<InputFile> found;
  for (const std::string& path : paths) {
    std::error_code error;
    const std::optional<fs::FileStatus> status =
        path.empty() ? std::nullopt : files.status(path, fs::Links::follow, error);
    if (!status) throw ValidationError(path + " not found");
    if (!status->isDirectory()) {
      found.push_back({path, InputSource::named});
      continue;
    }
    std::vector<std::string> names = listDirectory(files, path);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (isFragmentFileName(name)) found.push_back({fs::joinPath(path, name), InputSource::found});
    }
  }
  return found;
}

// The bytes of one fragment file; a file that cannot be read is an error of that file alone.
std::string readFragmentFile(const FileSystem& files, const InputFile& file) {
  try {
    return readInputFile(files, file.path, file.source);
  } catch (const InputFileError& error) {
    if (error.reason() == InputFileError::Reason::tooLarge) throw TavraError::io(error.what());
    throw TavraError::io("cannot read " + file.path);
  }
}

}  // namespace

void FragmentInputs::setup(CommandTree& tree, CLI::App& command) {
  tree.addArguments(command, "paths", paths,
                    "Fragment files (.json, .plist, .mobileconfig) or directories containing them.",
                    Completion::file);
}

std::vector<std::string> FragmentInputs::expand(const FileSystem& files) const {
  std::vector<std::string> found;
  for (InputFile& file : inputFiles(files, paths)) found.push_back(std::move(file.path));
  return found;
}

FragmentInputs::Loaded FragmentInputs::load(const FileSystem& files) const {
  Loaded loaded;
  for (const InputFile& file : inputFiles(files, paths)) {
    try {
      const std::string bytes = readFragmentFile(files, file);
      for (const auto& payload : ProfileBuilder::fragmentPayloads(bytes, file.path)) {
        if (auto fragment = PolicyFragment::parse(payload.domain, payload.value)) {
          loaded.fragments.push_back(std::move(*fragment));
        }
      }
    } catch (const std::exception& error) {
      loaded.errors.push_back(file.path + ": " + describe(error));
    }
  }
  return loaded;
}

}  // namespace tavra::ctl
