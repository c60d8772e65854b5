#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "synth/exceptions.h"

namespace kelvane {

// File names are UTF-8 text everywhere; these convert them to and from the
// paths the system opens. (On Windows the narrow C runtime and the narrow
// std::filesystem::path conversions use the ANSI code page instead.)
inline std::filesystem::path FileNamePath(const std::string& fileName) {
  return std::filesystem::path(std::u8string(fileName.begin(), fileName.end()));
}
inline std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Raised when a stream delivers fewer bytes than an exact read asked for, or
// cannot be opened or positioned.
class EKelvaneStreamError : public EKelvane {
 public:
  explicit EKelvaneStreamError(const std::string& message) : EKelvane(message) {}
};

// Positioned byte source for bank readers. A bank keeps its stream open for
// delayed sample loading, so reads are positioned and of exact size.
class TStream {
 public:
  virtual ~TStream() = default;

  virtual int64_t Size() = 0;
  virtual int64_t Position() = 0;
  virtual void Seek(int64_t position) = 0;  // beyond the end is allowed; reads there deliver 0 bytes
  // Reads up to count bytes; returns how many were delivered (short at the end).
  virtual int64_t ReadSome(void* buffer, int64_t count) = 0;

  // Reads exactly count bytes or raises EKelvaneStreamError.
  void ReadExact(void* buffer, int64_t count);
  // Reads exactly count bytes; false (position undefined) when fewer were there.
  bool TryRead(void* buffer, int64_t count) { return ReadSome(buffer, count) == count; }
  void ReadAt(int64_t position, void* buffer, int64_t count) {
    Seek(position);
    ReadExact(buffer, count);
  }
};

using TStreamPtr = std::unique_ptr<TStream>;

// A file kept open for the life of the stream.
class TFileStream final : public TStream {
 public:
  // Raises EKelvaneStreamError when the file cannot be opened.
  explicit TFileStream(const std::string& fileName);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Size() override { return fSize; }
  int64_t Position() override { return fPosition; }
  void Seek(int64_t position) override;
  int64_t ReadSome(void* buffer, int64_t count) override;
  const std::string& FileName() const { return fFileName; }

 private:
  std::FILE* fFile = nullptr;
  std::string fFileName;
  int64_t fSize = 0;
  int64_t fPosition = 0;
  bool fPositionValid = false;  // the C stream's own position equals fPosition
};

// An in-memory byte buffer (owned copy).
class TMemoryStream final : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> bytes) : fBytes(std::move(bytes)) {}
  TMemoryStream(const void* data, size_t size);

  int64_t Size() override { return static_cast<int64_t>(fBytes.size()); }
  int64_t Position() override { return fPosition; }
  void Seek(int64_t position) override;
  int64_t ReadSome(void* buffer, int64_t count) override;
  const std::vector<uint8_t>& Bytes() const { return fBytes; }

 private:
  std::vector<uint8_t> fBytes;
  int64_t fPosition = 0;
};

}  // namespace kelvane
