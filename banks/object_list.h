#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "synth/exceptions.h"
#include "synth/synth_class.h"

namespace kelvane {

// An index outside 0..Count-1 was used on an engine list.
class EKelvaneRangeError : public EKelvane {
 public:
  EKelvaneRangeError() : EKelvane("Out of index range") {}
};

// The list behind every engine list: an array of item pointers that, when
// OwnsObjects is set (the default), deletes its items on Delete, SetCount,
// Clear and destruction. SetItem only stores the pointer; whatever was in the
// slot before is the caller's to free.
template <typename T>
class TObjectGenericList : public TSynthClass {
 public:
  // Enumerates items in index order; usable in range-for through begin/end.
  class TValueEnumerator {
   public:
    explicit TValueEnumerator(const TObjectGenericList* list) : fObjectList(list) {}
    bool MoveNext() { return ++fIndex < fObjectList->fCount; }
    T* Current() const { return fObjectList->fItems[static_cast<size_t>(fIndex)]; }

   private:
    const TObjectGenericList* fObjectList;
    int64_t fIndex = -1;
  };

  class iterator {
   public:
    iterator(const TObjectGenericList* list, int64_t index) : fObjectList(list), fIndex(index) {}
    T* operator*() const { return fObjectList->fItems[static_cast<size_t>(fIndex)]; }
    iterator& operator++() {
      ++fIndex;
      return *this;
    }
    bool operator!=(const iterator& other) const { return fIndex != other.fIndex; }
    bool operator==(const iterator& other) const { return fIndex == other.fIndex; }

   private:
    const TObjectGenericList* fObjectList;
    int64_t fIndex;
  };

  explicit TObjectGenericList(bool ownsObjects = true) : fOwnsObjects(ownsObjects) {}
  ~TObjectGenericList() override { Clear(); }
  TObjectGenericList(const TObjectGenericList&) = delete;
  TObjectGenericList& operator=(const TObjectGenericList&) = delete;

  int64_t Count() const { return fCount; }
  int64_t Allocated() const { return fAllocated; }
  bool OwnsObjects() const { return fOwnsObjects; }
  void SetOwnsObjects(bool value) { fOwnsObjects = value; }

  T* GetItem(int64_t index) const {
    CheckIndex(index);
    return fItems[static_cast<size_t>(index)];
  }
  void SetItem(int64_t index, T* item) {
    CheckIndex(index);
    fItems[static_cast<size_t>(index)] = item;
  }
  T* Items(int64_t index) const { return GetItem(index); }
  T* operator[](int64_t index) const { return GetItem(index); }

  // Frees owned items from last to first, then releases the storage.
  void Clear() {
    for (int64_t i = fCount - 1; i >= 0; --i) {
      T* item = std::exchange(fItems[static_cast<size_t>(i)], nullptr);
      fCount = i;
      if (fOwnsObjects) delete item;
    }
    fCount = 0;
    Reallocate(0);
  }

  // -1 when absent.
  int64_t IndexOf(const T* item) const {
    for (int64_t i = 0; i < fCount; ++i)
      if (fItems[static_cast<size_t>(i)] == item) return i;
    return -1;
  }

  int64_t Add(T* item) {
    const int64_t index = fCount;
    if (index + 1 > fAllocated) Reallocate((index + 1) * 2);
    fItems[static_cast<size_t>(index)] = item;
    fCount = index + 1;
    return index;
  }

  // A negative index does nothing; an index beyond Count extends the list
  // with null slots up to it.
  void Insert(int64_t index, T* item) {
    if (index < 0) return;
    if (index >= fCount) {
      const int64_t newCount = index + 1;
      if (newCount > fAllocated) Reallocate(newCount * 2);
      for (int64_t i = fCount; i < index; ++i) fItems[static_cast<size_t>(i)] = nullptr;
      fItems[static_cast<size_t>(index)] = item;
      fCount = newCount;
      return;
    }
    const int64_t newCount = fCount + 1;
    if (newCount > fAllocated) Reallocate(newCount * 2);
    for (int64_t i = fCount; i > index; --i) fItems[static_cast<size_t>(i)] = fItems[static_cast<size_t>(i - 1)];
    fItems[static_cast<size_t>(index)] = item;
    fCount = newCount;
  }

  void Delete(int64_t index) {
    CheckIndex(index);
    T* item = fItems[static_cast<size_t>(index)];
    for (int64_t i = index; i + 1 < fCount; ++i) fItems[static_cast<size_t>(i)] = fItems[static_cast<size_t>(i + 1)];
    --fCount;
    fItems[static_cast<size_t>(fCount)] = nullptr;
    if (fCount < (fAllocated >> 1)) Reallocate(fAllocated >> 1);
    if (fOwnsObjects) delete item;
  }

  // Index the item had, or -1 when it was not in the list.
  int64_t Remove(T* item) {
    const int64_t index = IndexOf(item);
    if (index >= 0) Delete(index);
    return index;
  }

  // Trades items and ownership flags with other.
  void Swap(TObjectGenericList& other) noexcept {
    fItems.swap(other.fItems);
    std::swap(fCount, other.fCount);
    std::swap(fAllocated, other.fAllocated);
    std::swap(fOwnsObjects, other.fOwnsObjects);
  }

  void Exchange(int64_t index, int64_t withIndex) {
    CheckIndex(index);
    CheckIndex(withIndex);
    std::swap(fItems[static_cast<size_t>(index)], fItems[static_cast<size_t>(withIndex)]);
  }

  // Growing rounds the capacity up to a power of two and adds null slots;
  // shrinking frees the dropped items (last first) when owning.
  void SetCount(int64_t newCount) {
    if (newCount < 0) newCount = 0;
    if (newCount > fCount) {
      if (newCount > fAllocated) Reallocate(RoundUpToPowerOfTwo(newCount));
      for (int64_t i = fCount; i < newCount; ++i) fItems[static_cast<size_t>(i)] = nullptr;
      fCount = newCount;
      return;
    }
    while (fCount > newCount) {
      --fCount;
      T* item = std::exchange(fItems[static_cast<size_t>(fCount)], nullptr);
      if (fOwnsObjects) delete item;
    }
    if (newCount == 0)
      Reallocate(0);
    else if (newCount < (fAllocated >> 2))
      Reallocate(fAllocated >> 1);
  }

  TValueEnumerator GetEnumerator() const { return TValueEnumerator(this); }
  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, fCount); }

 private:
  void CheckIndex(int64_t index) const {
    if (index < 0 || index >= fCount) throw EKelvaneRangeError();
  }

  static int64_t RoundUpToPowerOfTwo(int64_t n) {
    int64_t result = 1;
    while (result < n) result <<= 1;
    return result;
  }

  void Reallocate(int64_t allocated) {
    if (allocated == 0) {
      std::vector<T*>().swap(fItems);
    } else {
      fItems.resize(static_cast<size_t>(allocated), nullptr);
      if (allocated < static_cast<int64_t>(fItems.capacity()) / 2) fItems.shrink_to_fit();
    }
    fAllocated = allocated;
  }

  std::vector<T*> fItems;  // fAllocated slots; the first fCount are in use
  int64_t fCount = 0;
  int64_t fAllocated = 0;
  bool fOwnsObjects = true;
};

}  // namespace kelvane
