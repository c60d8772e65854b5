#pragma once

// Compact lists of a preset layer. A bank such as a General MIDI set makes
// tens of thousands of leaves, so the per-leaf lists hold their items by
// value (selectors, generators) or share one immutable array (the default
// modulator set) instead of allocating one heap object per item.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>

#include "banks/object_list.h"

namespace kelvane {

// Items by value in one array; the first InlineCount live inside the list.
// Indexing hands out pointers into the array, which stay valid until the list
// grows past its capacity or is cleared.
template <typename T, uint32_t InlineCount>
class TPresetLayerValueList {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  TPresetLayerValueList() = default;
  ~TPresetLayerValueList() { Release(); }
  TPresetLayerValueList(const TPresetLayerValueList&) = delete;
  TPresetLayerValueList& operator=(const TPresetLayerValueList&) = delete;

  int64_t Count() const { return fCount; }
  int64_t Allocated() const { return fAllocated; }
  // The list owns its items (they live in it).
  bool OwnsObjects() const { return true; }

  T* GetItem(int64_t index) {
    CheckIndex(index);
    return Data() + index;
  }
  const T* GetItem(int64_t index) const {
    CheckIndex(index);
    return Data() + index;
  }
  T* Items(int64_t index) { return GetItem(index); }
  const T* Items(int64_t index) const { return GetItem(index); }
  T* operator[](int64_t index) { return GetItem(index); }
  const T* operator[](int64_t index) const { return GetItem(index); }

  // Appends a copy of item and returns its index.
  int64_t Add(const T& item) {
    if (fCount == fAllocated) Reserve(std::max<uint32_t>(4, fAllocated * 2));
    Data()[fCount] = item;
    return fCount++;
  }

  // Room for n items in all, so that n adds make at most one allocation.
  void Reserve(uint32_t n) {
    if (n <= fAllocated) return;
    T* items = new T[n];
    if (fCount > 0) std::memcpy(static_cast<void*>(items), Data(), sizeof(T) * fCount);
    Release();
    fHeap = items;
    fAllocated = n;
  }

  void Clear() {
    Release();
    fCount = 0;
    fAllocated = InlineCount;
  }

  int64_t IndexOf(const T* item) const {
    for (uint32_t i = 0; i < fCount; ++i)
      if (Data() + i == item) return i;
    return -1;
  }

  // Range-for yields item pointers, as the object lists do.
  template <typename P>
  class TIterator {
   public:
    explicit TIterator(P item) : fItem(item) {}
    P operator*() const { return fItem; }
    TIterator& operator++() {
      ++fItem;
      return *this;
    }
    bool operator==(const TIterator& other) const { return fItem == other.fItem; }
    bool operator!=(const TIterator& other) const { return fItem != other.fItem; }

   private:
    P fItem;
  };
  TIterator<T*> begin() { return TIterator<T*>(Data()); }
  TIterator<T*> end() { return TIterator<T*>(Data() + fCount); }
  TIterator<const T*> begin() const { return TIterator<const T*>(Data()); }
  TIterator<const T*> end() const { return TIterator<const T*>(Data() + fCount); }

 private:
  T* Data() { return fHeap ? fHeap : fInline.data(); }
  const T* Data() const { return fHeap ? fHeap : fInline.data(); }
  void CheckIndex(int64_t index) const {
    if (index < 0 || index >= fCount) throw EKelvaneRangeError();
  }
  void Release() {
    delete[] fHeap;
    fHeap = nullptr;
  }

  T* fHeap = nullptr;  // null while the items fit inline
  uint32_t fCount = 0;
  uint32_t fAllocated = InlineCount;
  std::array<T, InlineCount> fInline{};
};

// Item pointers in order. An owning list deletes its items, except items
// marked shared (IsShared(item)), which belong to a process-wide table. Until
// the first change the whole pointer array may be such a table (Share): every
// leaf that carries the default modulators unchanged points at one array.
// Writing through the non-const accessors of an owning list first replaces a
// shared item by the layer's own copy (Clone(item)), so the table never
// changes; a non-owning list (an ordering or link view) hands items out as
// they are and must not be written through.
template <typename T>
class TSharedItemList {
 public:
  explicit TSharedItemList(bool ownsObjects = true) : fOwnsObjects(ownsObjects) {}
  ~TSharedItemList() { Clear(); }
  TSharedItemList(const TSharedItemList&) = delete;
  TSharedItemList& operator=(const TSharedItemList&) = delete;

  int64_t Count() const { return fCount; }
  int64_t Allocated() const { return fAllocated; }
  bool OwnsObjects() const { return fOwnsObjects; }
  // Whether the pointer array itself is a shared table.
  bool SharesArray() const { return fCount > 0 && fAllocated == 0; }

  const T* GetItem(int64_t index) const {
    CheckIndex(index);
    return fItems[index];
  }
  T* GetItem(int64_t index) {
    CheckIndex(index);
    if (!fOwnsObjects) return const_cast<T*>(fItems[index]);
    if (!IsShared(fItems[index])) return const_cast<T*>(fItems[index]);
    Unshare();
    T* copy = Clone(*fItems[index]);
    fItems[index] = copy;
    return copy;
  }
  const T* Items(int64_t index) const { return GetItem(index); }
  T* Items(int64_t index) { return GetItem(index); }
  const T* operator[](int64_t index) const { return GetItem(index); }
  T* operator[](int64_t index) { return GetItem(index); }

  // Makes the list a view of table (the list must be empty).
  void Share(std::span<const T* const> table) {
    Clear();
    fItems = const_cast<const T**>(table.data());
    fCount = static_cast<uint32_t>(table.size());
  }

  // Replaces the leading items, which the caller found equal to table's, by
  // the table's (freeing the list's own copies).
  void ShareLeading(std::span<const T* const> table) {
    if (!fOwnsObjects || table.size() > fCount) return;
    if (table.size() == fCount) {
      Clear();
      Share(table);
      return;
    }
    Unshare();
    for (size_t i = 0; i < table.size(); ++i) {
      if (fItems[i] == table[i]) continue;
      if (!IsShared(fItems[i])) delete fItems[i];
      fItems[i] = table[i];
    }
  }

  int64_t Add(T* item) {
    Unshare();
    if (fCount == fAllocated) Reallocate((fCount + 1) * 2);
    fItems[fCount] = item;
    return fCount++;
  }

  void Clear() {
    if (fOwnsObjects) {
      for (uint32_t i = fCount; i-- > 0;)
        if (!IsShared(fItems[i])) delete fItems[i];
    }
    if (fAllocated > 0) delete[] fItems;
    fItems = nullptr;
    fCount = 0;
    fAllocated = 0;
  }

  int64_t IndexOf(const T* item) const {
    for (uint32_t i = 0; i < fCount; ++i)
      if (fItems[i] == item) return i;
    return -1;
  }

  const T* const* begin() const { return fItems; }
  const T* const* end() const { return fItems + fCount; }

 private:
  void CheckIndex(int64_t index) const {
    if (index < 0 || index >= fCount) throw EKelvaneRangeError();
  }
  // Gives the list its own pointer array (the items stay shared).
  void Unshare() {
    if (SharesArray()) Reallocate(fCount + 1);
  }
  void Reallocate(uint32_t allocated) {
    auto* items = new const T*[allocated];
    if (fCount > 0) std::copy(fItems, fItems + fCount, items);
    if (fAllocated > 0) delete[] fItems;
    fItems = items;
    fAllocated = allocated;
  }

  const T** fItems = nullptr;
  uint32_t fCount = 0;
  uint32_t fAllocated = 0;  // 0 with fCount > 0: fItems is a shared table
  bool fOwnsObjects;
};

}  // namespace kelvane
