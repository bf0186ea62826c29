// The binary check: reads the trailer, the offset table and each object reachable from the top
// object, without building anything. One depth-first walk with a memo per object computes the
// nesting height and the size of the tree that shared references expand to, so a list of
// containers that reference each other many times costs linear time to refuse.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tavra/value.h"
#include "value/plist_guard.h"

namespace tavra::plist_guard {

namespace {

[[noreturn]] void fail(const std::string& why) {
  throw Value::ReadError("invalid binary property list: " + why);
}

constexpr std::size_t kHeader = 8;
constexpr std::size_t kTrailer = 32;
// Expanded size of an object for the expansion bound: a node plus its text or data bytes.
constexpr std::uint64_t kNodeCost = 64;

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

class Walker {
 public:
  explicit Walker(std::string_view s) : s_(s) {}

  std::size_t run() {
    if (s_.size() < kHeader + kTrailer) fail("too short");
    const std::size_t t = s_.size() - kTrailer;
    offsetSize_ = byte(t + 6);
    refSize_ = byte(t + 7);
    const std::uint64_t count = number(t + 8, 8);
    const std::uint64_t top = number(t + 16, 8);
    tableAt_ = number(t + 24, 8);
    if (!validWidth(offsetSize_) || !validWidth(refSize_)) fail("bad trailer");
    if (count == 0 || top >= count) fail("bad trailer");
    if (tableAt_ < kHeader || tableAt_ > t || (t - tableAt_) / offsetSize_ < count) {
      fail("offset table out of bounds");
    }
    count_ = static_cast<std::size_t>(count);
    state_.assign(count_, 0);
    cost_.assign(count_, 0);
    limit_ = 80 * static_cast<std::uint64_t>(s_.size()) + (std::uint64_t{64} << 20);
    const std::size_t depth = walk(static_cast<std::size_t>(top));
    // A null has no Value form; like the JSON reader, say so once the document checked out.
    if (sawNull_) throw Value::ConversionError("null");
    return depth;
  }

 private:
  // Per object: bit 15 done, bit 14 on the walk's path, low bits the nesting height.
  static constexpr std::uint16_t kDone = 0x8000, kOnPath = 0x4000, kHeight = 0x3FFF;

  struct Frame {
    std::size_t object;
    std::size_t refsAt;  // position of the next reference
    std::uint64_t left;  // references still to visit
    std::uint64_t keys;  // of which dictionary keys (they come first)
    std::uint16_t height;
    std::uint64_t cost;
  };

  // Any width from 1 to 8 bytes: libplist itself writes 3-byte offsets for lists over 64 KiB.
  static bool validWidth(unsigned w) { return w >= 1 && w <= 8; }

  unsigned byte(std::size_t at) const { return static_cast<unsigned char>(s_[at]); }

  std::uint64_t number(std::size_t at, std::size_t width) const {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < width; ++i) n = (n << 8) | byte(at + i);
    return n;
  }

  // Objects lie between the header and the trailer.
  void need(std::size_t at, std::uint64_t bytes) const {
    const std::size_t end = s_.size() - kTrailer;
    if (at > end || bytes > end - at) fail("object out of bounds");
  }

  std::size_t offsetOf(std::size_t object) const {
    const std::uint64_t at =
        number(static_cast<std::size_t>(tableAt_) + object * offsetSize_, offsetSize_);
    if (at < kHeader || at >= s_.size() - kTrailer) fail("object offset out of bounds");
    return static_cast<std::size_t>(at);
  }

  // The length that follows a marker with `info` in its low bits; moves `at` past it.
  std::uint64_t length(unsigned info, std::size_t& at) const {
    if (info != 0xF) return info;
    need(at, 1);
    const unsigned marker = byte(at);
    if ((marker >> 4) != 0x1 || (marker & 0xF) > 3) fail("bad length");
    const std::size_t width = std::size_t{1} << (marker & 0xF);
    need(at + 1, width);
    const std::uint64_t n = number(at + 1, width);
    at += 1 + width;
    return n;
  }

  // Looks at one object: a leaf gives its cost, a container its references.
  struct Object {
    bool container = false;
    std::size_t refsAt = 0;
    std::uint64_t refs = 0;
    std::uint64_t keys = 0;
    std::uint64_t cost = kNodeCost;
    bool null = false;
  };

  // libplist turns UTF-16 text with an unpaired surrogate into an empty string.
  void checkUTF16(std::size_t at, std::uint64_t bytes) const {
    for (std::uint64_t i = 0; i < bytes; i += 2) {
      const auto unit = static_cast<unsigned>(number(at + i, 2));
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        const unsigned next = i + 4 <= bytes ? static_cast<unsigned>(number(at + i + 2, 2)) : 0;
        if (next < 0xDC00 || next > 0xDFFF) fail("unpaired surrogate in UTF-16 text");
        i += 2;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        fail("unpaired surrogate in UTF-16 text");
      }
    }
  }

  // Keys must be text without NUL characters: libplist aborts the process on a key whose
  // length disagrees with strlen.
  void checkKey(std::size_t object) const {
    std::size_t at = offsetOf(object);
    const unsigned marker = byte(at++);
    const unsigned type = marker >> 4;
    if (type != 0x5 && type != 0x6) fail("dictionary key is not text");
    std::uint64_t n = length(marker & 0xF, at);
    if (type == 0x6) {
      if (n > UINT64_MAX / 2) fail("object out of bounds");
      n *= 2;
    }
    need(at, n);
    for (std::uint64_t i = 0; i < n; i += type == 0x6 ? 2 : 1) {
      if (number(at + i, type == 0x6 ? 2 : 1) == 0) fail("NUL character in a dictionary key");
    }
  }

  Object look(std::size_t object) const {
    std::size_t at = offsetOf(object);
    const unsigned marker = byte(at++);
    const unsigned type = marker >> 4, info = marker & 0xF;
    Object o;
    switch (type) {
      case 0x0:
        if (info != 0x0 && info != 0x8 && info != 0x9 && info != 0xF) fail("unknown object type");
        o.null = info == 0x0;
        return o;
      case 0x1:  // integer of 2^info bytes; 16-byte ones are unsigned and must fit in 64 bits
        if (info > 4) fail("integer too wide");
        need(at, std::uint64_t{1} << info);
        if (info == 4 && number(at, 8) != 0) fail("integer out of range");
        return o;
      case 0x2:
        if (info != 2 && info != 3) fail("bad real");
        need(at, std::uint64_t{1} << info);
        return o;
      case 0x3: {
        if (info != 3) fail("bad date");
        need(at, 8);
        const std::uint64_t bits = number(at, 8);
        double seconds;
        std::memcpy(&seconds, &bits, sizeof seconds);
        if (!(seconds >= minDateSeconds && seconds < endDateSeconds)) fail("date out of range");
        return o;
      }
      case 0x4:
      case 0x5:
      case 0x6:
      case 0x8: {
        std::uint64_t n = type == 0x8 ? info + 1 : length(info, at);
        if (type == 0x6) {
          if (n > UINT64_MAX / 2) fail("object out of bounds");
          n *= 2;
        }
        need(at, n);
        if (type == 0x6) checkUTF16(at, n);
        // libplist cuts ASCII text at a NUL.
        if (type == 0x5 && s_.substr(at, static_cast<std::size_t>(n)).find('\0') != s_.npos) {
          fail("NUL character in text");
        }
        o.cost = saturatingAdd(kNodeCost, type == 0x6 ? n / 2 * 3 : n);
        return o;
      }
      case 0xA:
      case 0xB:
      case 0xC:
      case 0xD: {
        std::uint64_t n = length(info, at);
        if (type == 0xD) {
          if (n > UINT64_MAX / 2) fail("object out of bounds");
          n *= 2;
        }
        if (n > UINT64_MAX / refSize_) fail("object out of bounds");
        need(at, n * refSize_);
        o.container = true;
        o.refsAt = at;
        o.refs = n;
        o.keys = type == 0xD ? n / 2 : 0;
        return o;
      }
      default:
        fail("unknown object type");
    }
  }

  std::size_t walk(std::size_t top) {
    std::vector<Frame> path;
    const std::string tooDeep =
        "nesting deeper than " + std::to_string(Value::maxDepth) + " levels";
    // Visits an object: a leaf or a finished container is settled at once, a new container
    // goes on the path. Returns whether it was settled.
    auto enter = [&](std::size_t object) {
      if (state_[object] & kOnPath) fail("reference cycle");
      if (state_[object] & kDone) return true;
      const Object o = look(object);
      if (!o.container) {
        sawNull_ = sawNull_ || o.null;
        state_[object] = kDone;
        cost_[object] = o.cost;
        return true;
      }
      if (path.size() >= Value::maxDepth) fail(tooDeep);
      state_[object] = kOnPath;
      path.push_back(Frame{object, o.refsAt, o.refs, o.keys, 0, kNodeCost});
      return false;
    };
    // A finished object may be met again at a deeper place: its height counts from there.
    auto settle = [&](Frame& parent, std::size_t child) {
      const auto height = static_cast<std::uint16_t>(state_[child] & kHeight);
      if (path.size() + height > Value::maxDepth) fail(tooDeep);
      parent.height = std::max(parent.height, height);
      parent.cost = saturatingAdd(parent.cost, cost_[child]);
      if (parent.cost > limit_) fail("shared objects expand beyond the document's size limit");
    };

    if (enter(top)) return 0;
    const std::size_t topObject = top;
    while (!path.empty()) {
      Frame& frame = path.back();
      if (frame.left == 0) {
        const Frame done = frame;
        path.pop_back();
        state_[done.object] = static_cast<std::uint16_t>(kDone | (done.height + 1));
        cost_[done.object] = done.cost;
        if (!path.empty()) settle(path.back(), done.object);
        continue;
      }
      const std::uint64_t ref = number(frame.refsAt, refSize_);
      frame.refsAt += refSize_;
      --frame.left;
      if (ref >= count_) fail("reference to a missing object");
      const auto child = static_cast<std::size_t>(ref);
      if (frame.keys > 0) {
        --frame.keys;
        checkKey(child);
      }
      if (enter(child)) settle(path[path.size() - 1], child);
    }
    return state_[topObject] & kHeight;
  }

  std::string_view s_;
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  std::uint64_t tableAt_ = 0;
  std::size_t count_ = 0;
  std::uint64_t limit_ = 0;
  bool sawNull_ = false;
  std::vector<std::uint16_t> state_;
  std::vector<std::uint64_t> cost_;
};

}  // namespace

bool isBinary(std::string_view bytes) noexcept {
  return bytes.substr(0, 8) == "bplist00";
}

std::size_t checkBinary(std::string_view bytes) {
  return Walker(bytes).run();
}

}  // namespace tavra::plist_guard
