#include "load_catalog.h"

#include "errors.h"
#include "input_file.h"
#include "services.h"

namespace tavra::ctl {
namespace {

// The file's bytes; a file that cannot be read at all is "cannot read <path>", one that is too
// large says so.
std::string readCatalogFile(const FileSystem& files, const std::string& path,
                            const std::string& unreadableMessage) {
  try {
    return readInputFile(files, path);
  } catch (const InputFileError& error) {
    if (error.reason() == InputFileError::Reason::tooLarge) throw ValidationError(error.what());
    throw ValidationError(unreadableMessage);
  }
}

}  // namespace

Catalog loadCatalog(const std::optional<std::string>& path, bool verify, const Context& context) {
  if (path) {
    const std::string bytes =
        readCatalogFile(*context.services.fileSystem, *path, "cannot read " + *path);
    if (!verify) return Catalog::decode(bytes);
    const std::string signature =
        readCatalogFile(*context.services.fileSystem, *path + ".sig", "missing " + *path + ".sig");
    return verifyWithBuiltInKeys(context.services, bytes, signature);
  }
  std::optional<Catalog> installed = context.installedCatalog();
  if (!installed) {
    throw ValidationError("no verified catalog installed; pass --catalog <catalog.json>");
  }
  return std::move(*installed);
}

}  // namespace tavra::ctl
