// JSON bytes -> Value, and back through the writer: whatever parses must write, in both forms
// and with either slash option, to text that parses to the same Value and writes identically.
// Only the reader's documented errors may end an input early; anything else aborts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tavra/json.h"
#include "tavra/value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tavra::Value value;
  try {
    value = tavra::Value::parseJSON(bytes);
  } catch (const tavra::Value::ReadError&) {
    return 0;
  } catch (const tavra::Value::ConversionError& error) {
    if (error.typeName() != "null") __builtin_trap();
    return 0;
  }
  for (const tavra::json::WriteOptions options :
       {tavra::json::WriteOptions{false, false}, tavra::json::WriteOptions{true, false},
        tavra::json::WriteOptions{false, true}, tavra::json::WriteOptions{true, true}}) {
    const std::string text = tavra::json::write(value, options);
    const tavra::Value again = tavra::Value::parseJSON(text);
    if (!(again == value)) __builtin_trap();
    if (tavra::json::write(again, options) != text) __builtin_trap();
  }
  return 0;
}
