#include "tavra/whitespace.h"

#include <cstdint>

namespace tavra {

namespace {

bool isWhitespaceOrNewline(std::uint32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The length of the white space character that starts at `text[at]`, or 0.
std::size_t whitespaceAt(std::string_view text, std::size_t at) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
  const std::size_t left = text.size() - at;
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return isWhitespaceOrNewline(lead) ? 1 : 0;
  // Only two- and three-byte sequences hold white space; validate them fully.
  if (lead >= 0xC2 && lead <= 0xDF && left >= 2 && (byte(1) & 0xC0) == 0x80) {
    const std::uint32_t c = (std::uint32_t(lead & 0x1F) << 6) | (byte(1) & 0x3F);
    return isWhitespaceOrNewline(c) ? 2 : 0;
  }
  if (lead >= 0xE1 && lead <= 0xE3 && left >= 3 && (byte(1) & 0xC0) == 0x80 &&
      (byte(2) & 0xC0) == 0x80) {
    const std::uint32_t c = (std::uint32_t(lead & 0x0F) << 12) |
                            (std::uint32_t(byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    return isWhitespaceOrNewline(c) ? 3 : 0;
  }
  return 0;
}

bool isContinuation(char c) noexcept {
  return (static_cast<std::uint8_t>(c) & 0xC0) == 0x80;
}

}  // namespace

std::string_view trimmingWhitespaceAndNewlines(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t length = whitespaceAt(text, begin);
    if (length == 0) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last character (at most three bytes back).
    std::size_t start = end - 1;
    while (start > begin && end - start < 3 && isContinuation(text[start])) --start;
    const std::size_t length = whitespaceAt(text, start);
    if (length == 0 || start + length != end) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace tavra
