#include "tavra/control_escape.h"

namespace tavra {

void appendControlEscape(std::string& out, char32_t codePoint) {
  static constexpr char hex[] = "0123456789abcdef";
  out += "\\u{";
  bool started = false;
  for (int shift = 20; shift >= 0; shift -= 4) {
    const auto digit = static_cast<unsigned>((codePoint >> shift) & 0xF);
    if (digit == 0 && !started && shift > 0) continue;
    started = true;
    out += hex[digit];
  }
  out += '}';
}

}  // namespace tavra
