#include "tavra/base64.h"

#include <array>
#include <cstdint>

namespace tavra::base64 {

namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kURL[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encodeWith(std::string_view bytes, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16) |
                            (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8) |
                            std::uint32_t(std::uint8_t(bytes[i + 2]));
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += alphabet[(n >> 6) & 63];
    out += alphabet[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = std::uint32_t(std::uint8_t(bytes[i])) << 16;
    if (rest == 2) n |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    if (rest == 2) out += alphabet[(n >> 6) & 63];
    if (pad) out.append(rest == 1 ? "==" : "=");
  }
  return out;
}

std::array<int, 256> reverseTable(const char* alphabet) {
  std::array<int, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 64; ++i) table[static_cast<std::uint8_t>(alphabet[i])] = i;
  return table;
}

// Decodes unpadded groups; `text` holds only alphabet characters. A final group of 2 or 3
// characters must leave its unused low bits zero, so every byte string has one encoding.
std::optional<std::string> decodeGroups(std::string_view text, const std::array<int, 256>& table) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    const int v = table[static_cast<std::uint8_t>(c)];
    if (v < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  if (bits > 0 && (buffer & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

}  // namespace

std::string encode(std::string_view bytes) {
  return encodeWith(bytes, kStandard, true);
}

std::optional<std::string> decode(std::string_view text) {
  static const auto table = reverseTable(kStandard);
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  return decodeGroups(text.substr(0, text.size() - padding), table);
}

std::string encodeURL(std::string_view bytes) {
  return encodeWith(bytes, kURL, false);
}

std::optional<std::string> decodeURL(std::string_view text) {
  static const auto table = reverseTable(kURL);
  return decodeGroups(text, table);
}

}  // namespace tavra::base64
