// Neighbour keys for merging dumps: an open-addressing set of
// (interface index, address) that grows with what it holds.
#include <cstdint>
#include <cstdlib>

#include "layer.h"

namespace {

// The interface index is a positive int, so bit 63 is free to mark a slot
// as taken: no key is 0.
constexpr std::uint64_t kTaken = std::uint64_t{1} << 63U;

std::uint64_t KeyOf(const MIB_IPNETROW &row) {
  return kTaken | std::uint64_t{row.dwIndex} << 32U | row.dwAddr;
}

// Fibonacci hashing: the product's high bits spread addresses that differ
// only in their last byte.
std::uint64_t SlotOf(std::uint64_t key, std::uint64_t mask) {
  return (key * 0x9E3779B97F4A7C15ULL >> 32U) & mask;
}

// The slot that holds key, or the empty one where it belongs.
std::uint64_t *Find(const KeySet &set, std::uint64_t key) {
  for (std::uint64_t i = SlotOf(key, set.mask);; i = (i + 1) & set.mask) {
    if (set.slots[i] == key || set.slots[i] == 0) {
      return &set.slots[i];
    }
  }
}

KeySet Allocate(std::uint64_t slots) {
  // Where size_t is 32 bits, a count past it cannot be had at all.
  auto *memory =
      slots <= SIZE_MAX / sizeof(std::uint64_t)
          ? static_cast<std::uint64_t *>(std::calloc(
                static_cast<std::size_t>(slots), sizeof(std::uint64_t)))
          : nullptr;
  return KeySet{memory, memory != nullptr ? slots - 1 : 0, 0,
                memory == nullptr};
}

bool Grow(KeySet *set) {
  KeySet bigger = Allocate(2 * (set->mask + 1));
  if (bigger.failed) {
    return false;
  }
  for (std::uint64_t i = 0; i <= set->mask; ++i) {
    if (set->slots[i] != 0) {
      *Find(bigger, set->slots[i]) = set->slots[i];
    }
  }
  bigger.size = set->size;
  std::free(set->slots);
  *set = bigger;
  return true;
}

} // namespace

KeySet MakeKeySet(std::uint64_t capacity) {
  std::uint64_t slots = 16;
  while (slots < capacity + capacity / 3 + 1) {
    slots *= 2;
  }
  return Allocate(slots);
}

void FreeKeySet(KeySet *set) {
  std::free(set->slots);
  *set = KeySet{nullptr, 0, 0, false};
}

bool InsertKey(KeySet *set, const MIB_IPNETROW &row) {
  if (set->failed) {
    return true;
  }
  if (4 * (set->size + 1) > 3 * (set->mask + 1) && !Grow(set)) {
    set->failed = true;
    return true;
  }
  const std::uint64_t key = KeyOf(row);
  std::uint64_t *slot = Find(*set, key);
  if (*slot != 0) {
    return false;
  }
  *slot = key;
  ++set->size;
  return true;
}

void DropRepeats(RowSink *sink, KeySet *set) {
  const std::uint64_t stored =
      sink->count < sink->capacity ? sink->count : sink->capacity;
  std::uint64_t kept = 0;
  for (std::uint64_t i = 0; i < stored; ++i) {
    if (InsertKey(set, sink->rows[i])) {
      sink->rows[kept++] = sink->rows[i];
    }
  }
  sink->count -= stored - kept;
}
