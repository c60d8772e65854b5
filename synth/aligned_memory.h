#pragma once

#include <cstddef>

namespace kelvane {

// Allocates Size bytes whose address is a multiple of Alignment; the start of
// the underlying block sits in the 8 bytes before P. Throws std::bad_alloc.
void AlignedGetMem(void*& P, size_t Size, size_t Alignment);
// Frees a block from AlignedGetMem (null is allowed) and sets P to null.
void AlignedFreeMem(void*& P);
// Frees a plain malloc'ed block if P is not null and sets P to null.
void FreeMemEx(void*& P);

template <typename T>
void AlignedGetMem(T*& P, size_t Size, size_t Alignment) {
  void* raw = nullptr;
  AlignedGetMem(raw, Size, Alignment);
  P = static_cast<T*>(raw);
}

template <typename T>
void AlignedFreeMem(T*& P) {
  void* raw = P;
  AlignedFreeMem(raw);
  P = nullptr;
}

template <typename T>
void FreeMemEx(T*& P) {
  void* raw = P;
  FreeMemEx(raw);
  P = nullptr;
}

}  // namespace kelvane
