// Catalog and signature bytes -> a verified catalog, as a download or an installed cache reaches
// CatalogStore::verify. The input is the signature text, one NUL byte, then the catalog bytes (an
// input without a NUL is a signature for an empty catalog). The store trusts the public key of
// the RFC 8032 test vector 1, so seeds can carry valid signatures. Every failure must be a
// signature error, a catalog error or a decoding error.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "tavra/base64.h"
#include "tavra/catalog_store.h"
#include "tavra/error.h"

namespace {

const tavra::CatalogStore& store() {
  // base64 of d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a
  static const tavra::CatalogStore instance("/nonexistent",
                                            {"11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo="},
                                            std::make_shared<tavra::PosixFileSystem>());
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view signature = input.substr(0, split);
  const std::string_view catalog =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
  try {
    const tavra::Catalog verified = store().verify(catalog, signature);
    if (verified.schemaVersion > tavra::Catalog::supportedSchemaVersion) __builtin_trap();
  } catch (const tavra::TavraError& error) {
    if (error.kind() != tavra::TavraError::Case::signature &&
        error.kind() != tavra::TavraError::Case::catalog) {
      __builtin_trap();
    }
  } catch (const tavra::Catalog::DecodeError&) {
  }
  return 0;
}
