// Double-quoted text: as it is, for naming a key or a word in the record decoders' errors; and
// with backslash escapes, shared by the TOML writer and the merger's warning texts. Quote,
// backslash, tab, line feed and carriage return get the short escapes; every other control
// character (below U+0020, and U+007F) is spelled by `control`; all other bytes are copied. Every
// scalar that needs an escape is a single byte in UTF-8, so the walk is bytewise.
#pragma once

#include <string>
#include <string_view>

namespace tavra::detail {

// `text` between double quotes, nothing escaped.
inline std::string quotedAsIs(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.append(1, '"').append(text).append(1, '"');
  return out;
}

// `text` between double quotes with the escapes above.
template <typename ControlEscape>
std::string quoted(std::string_view text, ControlEscape control) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          control(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace tavra::detail
