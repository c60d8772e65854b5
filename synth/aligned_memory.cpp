#include "synth/aligned_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace kelvane {

namespace {
constexpr size_t HeaderBytes = 8;
}

void AlignedGetMem(void*& P, size_t Size, size_t Alignment) {
  if (Alignment == 0) Alignment = 1;
  if (Size > std::numeric_limits<size_t>::max() - Alignment - HeaderBytes) throw std::bad_alloc();
  void* block = std::malloc(Size + Alignment + HeaderBytes);
  if (block == nullptr) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t lowest = start + HeaderBytes;
  const uintptr_t aligned = ((lowest + Alignment - 1) / Alignment) * Alignment;
  std::memcpy(reinterpret_cast<void*>(aligned - HeaderBytes), &block, sizeof(block));
  P = reinterpret_cast<void*>(aligned);
}

void AlignedFreeMem(void*& P) {
  if (P != nullptr) {
    void* block = nullptr;
    std::memcpy(&block, static_cast<char*>(P) - HeaderBytes, sizeof(block));
    std::free(block);
  }
  P = nullptr;
}

void FreeMemEx(void*& P) {
  if (P != nullptr) std::free(P);
  P = nullptr;
}

}  // namespace kelvane
