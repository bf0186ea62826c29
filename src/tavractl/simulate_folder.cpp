#include "simulate_folder.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "tavra/path_policy.h"
#include "tavra/platform/file_system.h"

namespace tavra::ctl {
namespace {

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::optional<std::string> realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
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

std::string outputFolder(const std::string& out) {
  namespace stdfs = std::filesystem;
  const stdfs::path absolute = out.empty() || out.front() != '/'
                                   ? stdfs::current_path() / stdfs::path(out)
                                   : stdfs::path(out);
  return withoutTrailingSlashes(absolute.lexically_normal().string());
}

bool isFileSystemRoot(const std::string& folder) {
  return folder == "/" || realPath(folder) == "/";
}

std::string below(const std::string& folder, std::string_view path) {
  if (folder == "/") return std::string(path);
  return folder + std::string(path);
}

void makeDirectories(const std::string& directory) {
  std::string current;
  std::size_t start = 0;
  while (start < directory.size()) {
    std::size_t end = directory.find('/', start + 1);
    if (end == std::string::npos) end = directory.size();
    current = directory.substr(0, end);
    start = end;
    if (current == "/") continue;
    if (::mkdir(current.c_str(), 0777) == 0) continue;
    const std::error_code error = fs::lastError();
    struct stat info {};
    if (error == std::errc::file_exists && ::stat(current.c_str(), &info) == 0 &&
        S_ISDIR(info.st_mode)) {
      continue;
    }
    throw fs::systemError(
        error == std::errc::file_exists ? std::make_error_code(std::errc::not_a_directory) : error,
        "cannot create directory " + current);
  }
}

void requireInside(const std::string& folder, const std::string& path) {
  const std::optional<std::string> realFolder = realPath(folder);
  if (!realFolder) return;  // nothing there yet: nothing below it can be a link
  std::string existing = path;
  std::optional<std::string> real;
  while (!(real = realPath(existing)) && existing.size() > folder.size()) {
    existing = existing.substr(0, existing.rfind('/'));
  }
  const std::string rest = folder == "/" ? existing : existing.substr(folder.size());
  const std::string expected = below(*realFolder, rest);
  if (real && *real != withoutTrailingSlashes(expected)) {
    throw std::runtime_error(existing + " leads out of " + folder + " through a symbolic link");
  }
}

void writePlainly(const std::string& path, std::string_view bytes) {
  std::error_code error;
  // Without blocking: a pipe at the path must not make the write wait for a reader.
  fs::FileDescriptor file =
      fs::openAt(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                 0666, error);
  std::optional<fs::FileStatus> status;
  if (file) status = fs::stat(file.get(), error);
  if ((status && !status->isRegular()) || error == std::errc::no_such_device_or_address) {
    throw std::runtime_error("cannot write " + path + ": not a regular file");
  }
  if (file && !error) fs::writeAll(file.get(), bytes, error);
  if (!error && ::close(file.release()) != 0) error = fs::lastError();
  if (error) throw fs::systemError(error, "cannot write " + path);
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
