// FlatSet: an open-addressing hash table of borrowed keys (pointers to keys that the caller keeps
// alive), optionally with a small value beside each key, with the walks over whole lists that the
// merger's union, intersect and deny steps run; and walkAhead, the loop under those walks that
// works out the probes of a list a fixed distance ahead of their use and prefetches the slots they
// will touch. The merger's key numbering uses the table alone.
//
// Slots hold the key's hash beside the key pointer, so a probe compares stored hashes and touches
// the key itself only on a hash match. Prefetching the slots ahead keeps lists far beyond the
// processor caches at a near-constant cost per element. The table is sized once (load at most two
// thirds) and never grows. Not thread-safe; one table per merge step.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <type_traits>
#include <utility>
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

// How many elements ahead walkAhead works out probes and prefetches.
inline constexpr std::size_t prefetchDistance = 32;

// Calls visit(i, ahead(elements[i])) for every index of a random-access list in order, each after
// prefetch ran on what ahead gave for the element `prefetchDistance` further on; those results
// (hashes, probes) sit in a small ring, not a list. `visit` may change the elements it has been
// given, never those after them.
template <typename Elements, typename Ahead, typename Prefetch, typename Visit>
void walkAhead(const Elements& elements, Ahead ahead, Prefetch prefetch, Visit visit) {
  using Result = decltype(ahead(elements[0]));
  constexpr std::size_t distance = prefetchDistance;
  std::array<Result, distance> ring;
  const std::size_t count = elements.size();
  for (std::size_t i = 0; i < std::min(distance, count); ++i) {
    ring[i] = ahead(elements[i]);
    prefetch(ring[i]);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const Result result = ring[i % distance];
    if (i + distance < count) {
      ring[i % distance] = ahead(elements[i + distance]);
      prefetch(ring[i % distance]);
    }
    visit(i, result);
  }
}

// The Mapped of a table that holds keys alone; it takes no room in a slot.
struct NoValue {};

// Holds `const Key*`; Hash gives a key's hash and Equal compares two keys, by what they point to.
template <typename Key, typename Hash, typename Equal = std::equal_to<Key>,
          typename Mapped = NoValue>
class FlatSet {
 public:
  // A key with its hash, worked out once for the prefetch and the probe that follows it.
  struct Probe {
    const Key* key;
    std::size_t hash;
  };
  static Probe probeOf(const Key& key) noexcept { return Probe{&key, hashOf(key)}; }

  // Room for `expected` keys.
  explicit FlatSet(std::size_t expected) : slots_(expected + expected / 2 + 8) {}

  void prefetch(const Probe& probe) const noexcept { prefetchSlot(probe.hash); }

  // Adds the key with `mapped` unless an equal key is there: the value beside the key found or
  // added, and whether it was added.
  std::pair<Mapped&, bool> emplace(const Probe& probe, Mapped mapped = {}) {
    for (std::size_t i = home(probe.hash);; i = next(i)) {
      Slot& slot = slots_[i];
      if (!slot.key) {
        slot.hash = probe.hash;
        slot.key = reinterpret_cast<std::uintptr_t>(probe.key);
        slot.mapped = std::move(mapped);
        return {slot.mapped, true};
      }
      if (matches(slot, probe)) return {slot.mapped, false};
    }
  }
  // False when an equal key is already there. (emplace() does the same, but the compiler makes
  // this loop, the one that union runs for every element, a few instructions shorter.)
  bool insert(const Probe& probe) {
    for (std::size_t i = home(probe.hash);; i = next(i)) {
      Slot& slot = slots_[i];
      if (!slot.key) {
        slot.hash = probe.hash;
        slot.key = reinterpret_cast<std::uintptr_t>(probe.key);
        return true;
      }
      if (matches(slot, probe)) return false;
    }
  }
  bool insert(const Key& key) { return insert(probeOf(key)); }

  // Inserts every element of `elements` in order, probing ahead; `added` sees each element that
  // no equal key was there for.
  template <typename Elements, typename Added>
  void insertEach(const Elements& elements, Added added) {
    walkAhead(
        elements, [](const Key& key) { return hashOf(key); },
        [this](std::size_t hash) { prefetchSlot(hash); },
        [&](std::size_t i, std::size_t hash) {
          if (insert(Probe{&elements[i], hash})) added(elements[i]);
        });
  }
  template <typename Elements>
  void insertEach(const Elements& elements) {
    insertEach(elements, [](const Key&) {});
  }

  // Calls visit(probe) for the probe of every element in order, the slots it will touch in each
  // of `sets` prefetched ahead.
  template <typename Elements, typename Visit>
  static void probeEach(const Elements& elements, std::span<const FlatSet> sets, Visit visit) {
    walkAhead(
        elements, [](const Key& key) { return hashOf(key); },
        [&](std::size_t hash) {
          for (const FlatSet& set : sets) set.prefetchSlot(hash);
        },
        [&](std::size_t i, std::size_t hash) {
          visit(Probe{&elements[i], hash});
        });
  }

  bool contains(const Probe& probe) const noexcept { return find(probe) != nullptr; }
  bool contains(const Key& key) const noexcept { return contains(probeOf(key)); }

  // Removes from `elements` each element that this set holds or, when `byKey` is given, whose
  // keyOf(element) `byKey` holds; the others keep their order. Both probes are worked out and
  // prefetched ahead. Returns how many went.
  template <typename KeyOf>
  std::size_t eraseHeld(std::vector<Key>& elements, const FlatSet* byKey, KeyOf keyOf) const {
    struct Probes {
      Probe element;
      Probe key;
    };
    std::size_t kept = 0;
    walkAhead(
        elements,
        [&](const Key& element) {
          return Probes{probeOf(element), byKey ? probeOf(keyOf(element)) : Probe{}};
        },
        [&](const Probes& probes) {
          prefetch(probes.element);
          if (byKey) byKey->prefetch(probes.key);
        },
        [&](std::size_t i, const Probes& probes) {
          if (contains(probes.element) || (byKey && byKey->contains(probes.key))) return;
          if (kept != i) elements[kept] = std::move(elements[i]);
          ++kept;
        });
    const std::size_t removed = elements.size() - kept;
    elements.erase(elements.begin() + static_cast<std::ptrdiff_t>(kept), elements.end());
    return removed;
  }

  // Marks the key equal to the probe's as taken: true the first time, false when it was taken
  // before or is not in the set.
  bool take(const Probe& probe) noexcept {
    Slot* slot = const_cast<Slot*>(find(probe));
    if (!slot || (slot->key & takenBit)) return false;
    slot->key |= takenBit;
    return true;
  }

 private:
  // The lowest bit of a stored key address records take(); keys are aligned, so it is free.
  static constexpr std::uintptr_t takenBit = 1;
  static_assert(alignof(Key) > takenBit);

  struct Slot {
    std::size_t hash = 0;
    std::uintptr_t key = 0;  // the key's address, 0 for an empty slot
    [[no_unique_address]] Mapped mapped{};
  };
  static_assert(!std::is_empty_v<Mapped> || sizeof(Slot) == 2 * sizeof(std::size_t),
                "a set's slots hold a hash and a pointer alone");

  static std::size_t hashOf(const Key& key) noexcept { return mixHash(Hash{}(key)); }

  void prefetchSlot(std::size_t hash) const noexcept {
    const Slot* slot = &slots_[home(hash)];
    __builtin_prefetch(slot);
    // An empty statement that the compiler must keep: g++ 12 otherwise finds that a call whose
    // only work is a prefetch changes nothing, and drops it.
    asm volatile("" : : "r"(slot));
  }

  // Maps a hash onto the table by its high bits (a multiply instead of a division).
  std::size_t home(std::size_t hash) const noexcept {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * slots_.size()) >> 64);
  }
  std::size_t next(std::size_t i) const noexcept { return i + 1 == slots_.size() ? 0 : i + 1; }
  static bool matches(const Slot& slot, const Probe& probe) noexcept {
    return slot.hash == probe.hash &&
           Equal{}(*reinterpret_cast<const Key*>(slot.key & ~takenBit), *probe.key);
  }

  const Slot* find(const Probe& probe) const noexcept {
    for (std::size_t i = home(probe.hash);; i = next(i)) {
      const Slot& slot = slots_[i];
      if (!slot.key) return nullptr;
      if (matches(slot, probe)) return &slot;
    }
  }

  std::vector<Slot> slots_;
};

}  // namespace tavra::detail
