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

}  // namespace tavra::test
