// Property-list bytes -> Value -> PolicyFragment, as a preference file travels through a scan.
// Every input must end in a fragment, no fragment (disabled) or one of the expected errors.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tavra/error.h"
#include "tavra/policy_fragment.h"
#include "tavra/value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tavra::Value value;
  try {
    value = tavra::Value::parsePlist(bytes);
  } catch (const tavra::Value::ReadError&) {
    return 0;
  } catch (const tavra::Value::ConversionError&) {
    return 0;
  }
  try {
    const auto fragment = tavra::PolicyFragment::parse("com.zelkorandin.tavra.policy.fuzz", value);
    if (fragment) {
      // The precedence comparison must be a strict order on whatever was parsed.
      if (tavra::PolicyFragment::precedes(*fragment, *fragment)) __builtin_trap();
      (void)tavra::sortedByPrecedence({*fragment, *fragment});
    }
  } catch (const tavra::TavraError& error) {
    if (error.kind() != tavra::TavraError::Case::fragment) __builtin_trap();
    if (!error.message().starts_with("com.zelkorandin.tavra.policy.fuzz: ")) __builtin_trap();
  }
  return 0;
}
