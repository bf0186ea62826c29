// catalog.json bytes -> Catalog, as a downloaded or installed catalog travels after its signature
// check. Every input must end in a catalog or one of the two expected errors, and a catalog that
// decodes must survive its own encoding unchanged.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tavra/catalog.h"
#include "tavra/error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tavra::Catalog catalog;
  try {
    catalog = tavra::Catalog::decode(bytes);
  } catch (const tavra::Catalog::DecodeError&) {
    return 0;
  } catch (const tavra::TavraError& error) {
    if (error.kind() != tavra::TavraError::Case::catalog) __builtin_trap();
    return 0;
  }
  if (catalog.schemaVersion > tavra::Catalog::supportedSchemaVersion) __builtin_trap();
  if (!(tavra::Catalog::decode(catalog.encode()) == catalog)) __builtin_trap();
  for (const auto& harness : catalog.harnesses) {
    if (!catalog.harness(harness.id)) __builtin_trap();
    for (const auto& output : harness.outputs) (void)output.fileMode();
  }
  (void)tavra::compareCatalogVersions(catalog.catalogVersion, "2026.1.5");
  return 0;
}
