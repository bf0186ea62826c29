#include <unicode/normalizer2.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <memory>

#include "tavra/platform/unicode.h"

namespace tavra::unicode {

namespace {

struct BreakIteratorCloser {
  void operator()(UBreakIterator* it) const noexcept { ubrk_close(it); }
};
struct UTextCloser {
  void operator()(UText* text) const noexcept { utext_close(text); }
};

}  // namespace

std::vector<std::string_view> graphemeClusters(std::string_view text) {
  std::vector<std::string_view> clusters;
  if (text.empty()) return clusters;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, UTextCloser> utext(
      utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status));
  std::unique_ptr<UBreakIterator, BreakIteratorCloser> it(
      ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
  if (U_SUCCESS(status)) ubrk_setUText(it.get(), utext.get(), &status);
  if (U_FAILURE(status)) {
    // Without ICU's rules fall back to one cluster per byte rather than losing text.
    for (std::size_t i = 0; i < text.size(); ++i) clusters.push_back(text.substr(i, 1));
    return clusters;
  }
  // With a UTF-8 UText, boundaries are byte offsets into `text`.
  int32_t start = ubrk_first(it.get());
  for (int32_t end = ubrk_next(it.get()); end != UBRK_DONE; end = ubrk_next(it.get())) {
    clusters.push_back(
        text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    start = end;
  }
  return clusters;
}

std::string normalizeNFC(std::string_view text) {
  if (!isValidUTF8(text)) return std::string(text);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::string(text);
  icu::UnicodeString source = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  if (nfc->isNormalized(source, status) && U_SUCCESS(status)) return std::string(text);
  status = U_ZERO_ERROR;
  icu::UnicodeString normalized = nfc->normalize(source, status);
  if (U_FAILURE(status)) return std::string(text);
  std::string out;
  normalized.toUTF8String(out);
  return out;
}

namespace {

// The first code point of a well-formed, non-empty character; -1 otherwise.
UChar32 firstCodePoint(std::string_view character) noexcept {
  if (character.empty() || !isValidUTF8(character)) return -1;
  const auto* bytes = reinterpret_cast<const uint8_t*>(character.data());
  const auto length = static_cast<int32_t>(std::min<std::size_t>(character.size(), 4));
  int32_t i = 0;
  UChar32 first;
  U8_NEXT(bytes, i, length, first);
  return first;
}

}  // namespace

bool isLetterOrNumber(std::string_view character) noexcept {
  const UChar32 first = firstCodePoint(character);
  if (first < 0) return false;
  return u_hasBinaryProperty(first, UCHAR_ALPHABETIC) ||
         u_getIntPropertyValue(first, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

bool isNumber(std::string_view character) noexcept {
  const UChar32 first = firstCodePoint(character);
  return first >= 0 && u_getIntPropertyValue(first, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

bool isValidUTF8(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::string repairedUTF8(std::string_view text) {
  if (isValidUTF8(text)) return std::string(text);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  std::string out;
  out.reserve(text.size() + 8);
  // U8_NEXT takes an int32_t length: walk longer texts in slices that end on a lead byte.
  std::size_t offset = 0;
  while (offset < text.size()) {
    std::size_t slice = std::min<std::size_t>(text.size() - offset, INT32_MAX);
    if (offset + slice < text.size()) {
      while (slice > 0 && U8_IS_TRAIL(bytes[offset + slice])) --slice;
      if (slice == 0) slice = std::min<std::size_t>(text.size() - offset, INT32_MAX);
    }
    const auto length = static_cast<int32_t>(slice);
    int32_t i = 0;
    while (i < length) {
      const int32_t start = i;
      UChar32 c;
      U8_NEXT(bytes + offset, i, length, c);
      if (c < 0) {
        out += "\xEF\xBF\xBD";
      } else {
        out.append(text.substr(offset + static_cast<std::size_t>(start),
                               static_cast<std::size_t>(i - start)));
      }
    }
    offset += slice;
  }
  return out;
}

}  // namespace tavra::unicode
