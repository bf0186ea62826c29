// Key and certificate material for tests, made at test time with the openssl command (an
// independent tool), plus hex helpers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/temp_tree.h"

namespace tavra::test {

std::string fromHex(std::string_view hex);

// Runs `openssl` with `args`; throws std::runtime_error with its output when it fails.
std::string openssl(const std::vector<std::string>& args, std::string_view input = {});

// Writes into `tree` and returns paths. `keyArgs` are the genpkey arguments, e.g.
// {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"}.
std::string makeKey(const TempTree& tree, const std::string& name,
                    const std::vector<std::string>& keyArgs);
// A self-signed certificate (PEM) for the key at `keyPath`.
std::string makeCertificate(const TempTree& tree, const std::string& name,
                            const std::string& keyPath);

// A SEC 1 ("EC PRIVATE KEY") P-256 key file whose public point is another key's: a point on the
// curve, but not the one its scalar gives (as a damaged or doctored file would hold). Written
// into `tree` as `name`; returns its path. The key it was made from, with its own point, is left
// in the tree's top folder as `name` (each "/" made "_") followed by ".own.key".
std::string makeMismatchedKey(const TempTree& tree, const std::string& name);

}  // namespace tavra::test
