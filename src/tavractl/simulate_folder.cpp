#include "simulate_folder.h"

#include <cctype>
#include <stdexcept>
#include <vector>

#include "tavra/path_policy.h"
#include "tavra/platform/file_system.h"

namespace tavra::ctl {
namespace {

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Whether `c` may continue a file name, so that a folder's text followed by it names another
// file ("/work/sim2" is not below "/work/sim").
bool continuesName(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return std::isalnum(byte) || byte >= 0x80 || c == '.' || c == '_' || c == '-' || c == '~' ||
         c == '+' || c == '@';
}

void removeFolder(std::string& text, const std::string& folder) {
  std::size_t at = 0;
  while ((at = text.find(folder, at)) != std::string::npos) {
    const std::size_t end = at + folder.size();
    if (end < text.size() && continuesName(text[end])) {
      at = end;
      continue;
    }
    text.erase(at, folder.size());
  }
}

}  // namespace

std::string outputFolder(const FileSystem& files, const std::string& out) {
  std::string absolute = out;
  if (out.empty() || out.front() != '/') {
    const std::optional<std::string> here = files.workingDirectory();
    if (!here) {
      throw fs::systemError(std::make_error_code(std::errc::no_such_file_or_directory),
                            "cannot find the working directory");
    }
    absolute = *here + "/" + out;
  }
  // "." and ".." are taken as text, as the path reads; links are not resolved.
  std::vector<std::string> kept;
  for (std::string& component : fs::pathComponents(absolute)) {
    if (component == ".") continue;
    if (component == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(std::move(component));
  }
  std::string folder;
  for (const std::string& component : kept) folder += "/" + component;
  return folder.empty() ? "/" : folder;
}

bool isFileSystemRoot(const FileSystem& files, const std::string& folder) {
  return folder == "/" || files.realPath(folder) == "/";
}

std::string below(const std::string& folder, std::string_view path) {
  if (folder == "/") return std::string(path);
  return folder + std::string(path);
}

void makeDirectories(const FileSystem& files, const std::string& directory) {
  const fs::Walk made = files.makeDirectories(directory, fs::MakeOptions{});
  if (!made) {
    const std::error_code error = made.stop == fs::Walk::Stop::notDirectory
                                      ? std::make_error_code(std::errc::not_a_directory)
                                      : made.error;
    throw fs::systemError(error, "cannot create directory " + made.at);
  }
}

void requireInside(const FileSystem& files, const std::string& folder, const std::string& path) {
  const std::optional<std::string> realFolder = files.realPath(folder);
  if (!realFolder) return;  // nothing there yet: nothing below it can be a link
  std::string existing = path;
  std::optional<std::string> real;
  while (!(real = files.realPath(existing)) && existing.size() > folder.size()) {
    existing = existing.substr(0, existing.rfind('/'));
  }
  const std::string rest = folder == "/" ? existing : existing.substr(folder.size());
  const std::string expected = below(*realFolder, rest);
  if (real && *real != withoutTrailingSlashes(expected)) {
    throw std::runtime_error(existing + " leads out of " + folder + " through a symbolic link");
  }
}

void writePlainly(const FileSystem& files, const std::string& path, std::string_view bytes) {
  files.writePlainly(path, bytes, fs::Links::notFinal, /*regularFileOnly=*/true);
}

Value fragmentPayload(const PolicyFragment& fragment) {
  Value::Object harnesses;
  for (const auto& [harnessID, outputs] : fragment.harnesses) harnesses.emplace(harnessID, outputs);
  Value::Object payload{
      {"PolicyID", fragment.id},
      {"Priority", fragment.priority},
      {"Harnesses", std::move(harnesses)},
  };
  if (fragment.description) payload.emplace("Description", *fragment.description);
  return payload;
}

std::string fragmentFileName(const std::string& domain) {
  if (domain.empty() || domain == "." || domain == ".." ||
      domain.find_first_of(std::string("/\0", 2)) != std::string::npos) {
    throw std::runtime_error("policy domain is not a file name: " + domain);
  }
  return domain + ".plist";
}

void rewriteForMac(StatusReport& report, const std::string& folder) {
  if (folder == "/") return;
  const std::string canonicalFolder = PathPolicy::canonical(folder);
  const auto strip = [&](std::string& path) {
    const std::string canonicalPath = PathPolicy::canonical(path);
    if (canonicalPath.size() > canonicalFolder.size() &&
        canonicalPath.compare(0, canonicalFolder.size(), canonicalFolder) == 0 &&
        canonicalPath[canonicalFolder.size()] == '/') {
      path = canonicalPath.substr(canonicalFolder.size());
    }
  };
  for (auto& harness : report.harnesses) {
    for (auto& output : harness.outputs) strip(output);
  }
  for (auto& change : report.changes) strip(change.path);
  for (auto& error : report.errors) {
    removeFolder(error, canonicalFolder);
    removeFolder(error, folder);
  }
}

}  // namespace tavra::ctl
