// ModuleClient: finds, checks and loads the HTTP module on the first request.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "http_module.h"
#include "tavra/platform/http.h"

namespace tavra::http {
namespace {

// The running program's own file, as the kernel knows it.
std::string programPath() {
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) {
    throw TransportError("cannot find the HTTP module: the program's own path is unknown (" +
                         std::generic_category().message(errno) + ")");
  }
  path.resize(static_cast<std::size_t>(length));
  return path;
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Code that runs in this process must be no easier to change than the program: a module owned
// by another user, or that others may write to (a group too, for a process of root), is refused.
void checkOwner(const std::string& path, const struct stat& info) {
  const uid_t self = geteuid();
  const mode_t writableByOthers = self == 0 ? (S_IWGRP | S_IWOTH) : S_IWOTH;
  if ((info.st_uid != 0 && info.st_uid != self) || (info.st_mode & writableByOthers) != 0) {
    throw TransportError("not loading the HTTP module " + path +
                         ": other users may change it (owner " + std::to_string(info.st_uid) +
                         ", mode " + octal(info.st_mode) + ")");
  }
}

std::string joined(const std::vector<std::string>& places) {
  std::string text;
  for (const std::string& place : places) text += (text.empty() ? "" : " and ") + place;
  return text;
}

// The first of `places` that exists, checked.
std::string findModule(const std::vector<std::string>& places) {
  for (const std::string& place : places) {
    struct stat info {};
    if (stat(place.c_str(), &info) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) continue;
      throw TransportError("cannot load the HTTP module " + place + ": " +
                           std::generic_category().message(errno));
    }
    if (!S_ISREG(info.st_mode)) {
      throw TransportError("cannot load the HTTP module " + place + ": not a file");
    }
    checkOwner(place, info);
    return place;
  }
  throw TransportError("the HTTP module " + std::string(ModuleClient::moduleFileName) +
                       " is missing: looked for " + joined(places));
}

std::string dlerrorText() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown error";
}

// Loads the module at `path` and makes its client. The module is kept loaded for good on
// success (see http.h); on failure it is closed again, nothing of it having run but its
// initialisers.
std::unique_ptr<Client> loadClient(const std::string& path,
                                   const std::optional<std::string>& caFile) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    throw TransportError("cannot load the HTTP module " + path + ": " + dlerrorText());
  }
  try {
    void* symbol = dlsym(handle, moduleEntrySymbol);
    if (symbol == nullptr) {
      throw TransportError("cannot load the HTTP module " + path + ": it has no " +
                           moduleEntrySymbol + " (" + dlerrorText() + ")");
    }
    const ModuleEntry* entry = reinterpret_cast<ModuleFunction>(symbol)();
    if (entry == nullptr || entry->identity == nullptr ||
        std::strcmp(entry->identity, moduleIdentity) != 0) {
      throw TransportError("cannot load the HTTP module " + path + ": it is \"" +
                           std::string(entry && entry->identity ? entry->identity : "") +
                           "\", this program needs \"" + moduleIdentity + "\"");
    }
    return entry->newClient(caFile);
  } catch (...) {
    dlclose(handle);
    throw;
  }
}

}  // namespace

ModuleClient::ModuleClient() = default;
ModuleClient::ModuleClient(Options options) : options_(std::move(options)) {}
ModuleClient::~ModuleClient() = default;

std::vector<std::string> ModuleClient::modulePlaces(std::string_view programPath) {
  const std::size_t slash = programPath.rfind('/');
  const std::string folder(slash == std::string_view::npos ? "." : programPath.substr(0, slash));
  // The folder's parent; the root's is the root itself.
  const std::size_t parentSlash = folder.rfind('/');
  const std::string parent = folder.empty()                     ? ""
                             : parentSlash == std::string::npos ? "."
                                                                : folder.substr(0, parentSlash);
  const std::string name(moduleFileName);
  return {folder + "/" + name, parent + "/lib/tavra/" + name};
}

const Client& ModuleClient::client() const {
  const std::lock_guard lock(mutex_);
  if (!client_) {
    const std::string path = options_.modulePath ? findModule({*options_.modulePath})
                                                 : findModule(modulePlaces(programPath()));
    client_ = loadClient(path, options_.caFile);
  }
  return *client_;
}

Response ModuleClient::get(const Request& request, std::stop_token cancel) const {
  return client().get(request, std::move(cancel));
}

}  // namespace tavra::http
