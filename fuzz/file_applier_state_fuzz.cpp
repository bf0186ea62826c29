// state.json bytes -> FileApplier::State, as every apply reads its own state file back. Every
// input must end in a state or the shared decoder's error, and a state that decodes must survive
// its own encoding unchanged. The same bytes, taken as a path, must pass or fail the allow-list
// check without crashing, and a path that passes comes back in canonical form.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tavra/error.h"
#include "tavra/file_applier.h"
#include "tavra/path_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  static const tavra::PathPolicy policy(tavra::PathPolicy::builtInPrefixes(),
                                        {"/tmp/agents/", "/opt/one.json"});
  try {
    const std::string checked = policy.check(bytes);
    if (checked != tavra::PathPolicy::canonical(bytes)) __builtin_trap();
  } catch (const tavra::TavraError& error) {
    if (error.kind() != tavra::TavraError::Case::pathNotAllowed) __builtin_trap();
  }

  using tavra::FileApplier;
  FileApplier::State state;
  try {
    state = FileApplier::State::decode(FileApplier::decoder(bytes));
  } catch (const FileApplier::DecodingError&) {
    return 0;
  }
  const std::string encoded = FileApplier::encoder(state.encode());
  if (!(FileApplier::State::decode(FileApplier::decoder(encoded)) == state)) __builtin_trap();
  return 0;
}
