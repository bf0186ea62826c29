// keyProvider: the keys a command's --key option gives it to open envelopes with.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tavra/decryption_key_provider.h"
#include "tavra/platform/file_system.h"

namespace tavra::ctl {

// The one P-256 key of the PEM file `keyFile`, read as an input file (input_file.h); without a
// file, PassthroughKeys, which opens nothing. The reader's and the key parser's errors are thrown
// as they are.
std::unique_ptr<const DecryptionKeyProvider> keyProvider(const FileSystem& files,
                                                         const std::optional<std::string>& keyFile);

}  // namespace tavra::ctl
