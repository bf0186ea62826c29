// loadCatalog: the catalog a command works with.
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tavra/catalog.h"

namespace tavra::ctl {

// With a path: the catalog file there, decoded; with `verify` its signature file (path + ".sig")
// must hold a signature by a built-in catalog key. Without a path: the verified installed
// catalog (context.installedCatalog).
// Throws ValidationError "cannot read <path>", "missing <path>.sig" or "no verified catalog
// installed; pass --catalog <catalog.json>"; the decoder's and the store's errors as they are.
Catalog loadCatalog(const std::optional<std::string>& path, bool verify, const Context& context);

}  // namespace tavra::ctl
