// FlatSet: an open-addressing hash set of borrowed keys (pointers to keys that the caller keeps
// alive), used by the merger's union, intersect and deny steps.
//
// Slots hold the key's hash beside the key pointer, so a probe compares stored hashes and touches
// the key itself only on a hash match. Callers hash elements a little ahead and prefetch the slot
// they will probe, which keeps lists far beyond the processor caches at a near-constant cost per
// element. The table is sized once (load at most two thirds) and never grows. Not thread-safe; one
// set per merge step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace tavra::detail {

// Spreads the bits of a hash over the whole word (the finaliser of splitmix64).
inline std::size_t mixHash(std::size_t hash) noexcept {
  std::uint64_t x = hash;
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return static_cast<std::size_t>(x);
}

// How many elements ahead the callers hash and prefetch.
inline constexpr std::size_t prefetchDistance = 32;

// Key: a pointer type (nullptr marks an empty slot); Equal compares two keys by what they point to.
template <typename Key, typename Equal>
class FlatSet {
  static_assert(std::is_pointer_v<Key>);

 public:
  // Room for `expected` keys.
  explicit FlatSet(std::size_t expected) : slots_(expected + expected / 2 + 8) {}

  void prefetch(std::size_t hash) const noexcept { __builtin_prefetch(&slots_[home(hash)]); }

  // Adds `key` with its hash (from mixHash); false when an equal key is already there.
  bool insert(Key key, std::size_t hash) {
    hash &= hashBits;
    for (std::size_t i = home(hash);; i = next(i)) {
      Slot& slot = slots_[i];
      if (!slot.key) {
        slot = Slot{hash, key};
        return true;
      }
      if ((slot.hash & hashBits) == hash && Equal{}(slot.key, key)) return false;
    }
  }

  bool contains(Key key, std::size_t hash) const noexcept { return find(key, hash) != nullptr; }

  // Marks the key equal to `key` as taken: true the first time, false when it was taken before or
  // is not in the set.
  bool take(Key key, std::size_t hash) noexcept {
    Slot* slot = const_cast<Slot*>(find(key, hash));
    if (!slot || (slot->hash & takenBit)) return false;
    slot->hash |= takenBit;
    return true;
  }

 private:
  // The top bit of a stored hash records take(); the others are the hash.
  static constexpr std::size_t takenBit = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);
  static constexpr std::size_t hashBits = ~takenBit;

  struct Slot {
    std::size_t hash = 0;
    Key key = nullptr;
  };

  // Maps a hash onto the table by its high bits (a multiply instead of a division).
  std::size_t home(std::size_t hash) const noexcept {
    return static_cast<std::size_t>(
        (static_cast<unsigned __int128>(hash & hashBits) * slots_.size()) >> 63);
  }
  std::size_t next(std::size_t i) const noexcept { return i + 1 == slots_.size() ? 0 : i + 1; }

  const Slot* find(Key key, std::size_t hash) const noexcept {
    hash &= hashBits;
    for (std::size_t i = home(hash);; i = next(i)) {
      const Slot& slot = slots_[i];
      if (!slot.key) return nullptr;
      if ((slot.hash & hashBits) == hash && Equal{}(slot.key, key)) return &slot;
    }
  }

  std::vector<Slot> slots_;
};

}  // namespace tavra::detail
