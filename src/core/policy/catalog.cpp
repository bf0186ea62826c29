// The catalog model's own operations: validation, harness lookup, file modes and version order.
// JSON reading and writing live in catalog_codec.cpp.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "tavra/catalog.h"
#include "tavra/error.h"

namespace tavra {

std::uint16_t Output::fileMode() const noexcept {
  constexpr std::uint16_t fallback = 0644;
  if (!mode || mode->empty()) return fallback;
  std::string_view text = *mode;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return fallback;
  std::uint32_t bits = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return fallback;
    bits = bits * 8 + static_cast<std::uint32_t>(c - '0');
    if (bits > 0177777) return fallback;
  }
  if (negative && bits != 0) return fallback;
  return static_cast<std::uint16_t>(bits);
}

void Catalog::validate() const {
  std::set<std::string, std::less<>> harnessIDs;
  for (const Harness& harness : harnesses) {
    if (!harnessIDs.insert(harness.id).second) {
      throw TavraError::catalog("duplicate harness id " + harness.id);
    }
    std::set<std::string, std::less<>> outputIDs;
    for (const Output& output : harness.outputs) {
      const std::string where = harness.id + "/" + output.id;
      if (output.mergeRules) {
        for (const MergeRule& rule : *output.mergeRules) {
          if (rule.strategy == MergeRule::Strategy::strictest &&
              (!rule.order || rule.order->empty())) {
            throw TavraError::catalog(where + ": strictest rule for " + rule.path +
                                      " needs an order");
          }
        }
      }
      if (!outputIDs.insert(output.id).second) {
        throw TavraError::catalog("duplicate output id " + output.id + " in " + harness.id);
      }
      if (output.path.empty() || output.path.front() != '/') {
        throw TavraError::catalog(where + ": path must be absolute");
      }
    }
  }
}

std::optional<Harness> Catalog::harness(std::string_view id) const {
  for (const Harness& candidate : harnesses) {
    if (candidate.id == id) return candidate;
  }
  return std::nullopt;
}

namespace {

// A whole-text decimal integer with an optional sign; anything else, or an overflow, is 0.
std::int64_t versionPiece(std::string_view piece) noexcept {
  bool negative = false;
  if (!piece.empty() && (piece.front() == '+' || piece.front() == '-')) {
    negative = piece.front() == '-';
    piece.remove_prefix(1);
  }
  if (piece.empty()) return 0;
  std::uint64_t magnitude = 0;
  const char* end = piece.data() + piece.size();
  auto [ptr, ec] = std::from_chars(piece.data(), end, magnitude);
  if (ec != std::errc() || ptr != end) return 0;
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (negative) {
    if (magnitude > max + 1) return 0;
    return magnitude == max + 1 ? std::numeric_limits<std::int64_t>::min()
                                : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > max) return 0;
  return static_cast<std::int64_t>(magnitude);
}

// Walks the non-empty pieces between dots, one at a time; no piece left gives false.
class VersionPieces {
 public:
  explicit VersionPieces(std::string_view text) noexcept : rest_(text) {}

  bool next(std::int64_t& piece) noexcept {
    while (!rest_.empty()) {
      const std::size_t dot = std::min(rest_.find('.'), rest_.size());
      const std::string_view text = rest_.substr(0, dot);
      rest_.remove_prefix(std::min(dot + 1, rest_.size()));
      if (!text.empty()) {
        piece = versionPiece(text);
        return true;
      }
    }
    return false;
  }

 private:
  std::string_view rest_;
};

}  // namespace

std::strong_ordering compareCatalogVersions(std::string_view a, std::string_view b) noexcept {
  VersionPieces left(a);
  VersionPieces right(b);
  for (;;) {
    std::int64_t x = 0;
    std::int64_t y = 0;
    const bool moreLeft = left.next(x);
    const bool moreRight = right.next(y);
    if (!moreLeft && !moreRight) return std::strong_ordering::equal;
    if (x != y) return x < y ? std::strong_ordering::less : std::strong_ordering::greater;
  }
}

}  // namespace tavra
