#include "banks/stream.h"

#include <cstring>

namespace kelvane {

namespace {
// 64-bit file positions on every platform (long is 32 bits on Windows).
int SeekFile(std::FILE* file, int64_t offset, int origin) {
#if defined(_WIN32)
  return _fseeki64(file, offset, origin);
#else
  return fseeko(file, static_cast<off_t>(offset), origin);
#endif
}

int64_t TellFile(std::FILE* file) {
#if defined(_WIN32)
  return _ftelli64(file);
#else
  return static_cast<int64_t>(ftello(file));
#endif
}
}  // namespace

void TStream::ReadExact(void* buffer, int64_t count) {
  if (count < 0 || ReadSome(buffer, count) != count) throw EKelvaneStreamError("Stream read error");
}

TFileStream::TFileStream(const std::string& fileName) : fFileName(fileName) {
#if defined(_WIN32)
  fFile = _wfopen(FileNamePath(fileName).c_str(), L"rb");
#else
  fFile = std::fopen(fileName.c_str(), "rb");
#endif
  if (!fFile) throw EKelvaneStreamError("Cannot open file \"" + fileName + "\"");
  if (SeekFile(fFile, 0, SEEK_END) != 0) {
    std::fclose(fFile);
    throw EKelvaneStreamError("Cannot seek in file \"" + fileName + "\"");
  }
  const int64_t size = TellFile(fFile);
  fSize = size < 0 ? 0 : size;
  SeekFile(fFile, 0, SEEK_SET);
  fPositionValid = true;
}

TFileStream::~TFileStream() {
  if (fFile) std::fclose(fFile);
}

void TFileStream::Seek(int64_t position) {
  if (position < 0) throw EKelvaneStreamError("Stream seek error");
  if (position != fPosition) {
    fPosition = position;
    fPositionValid = false;
  }
}

int64_t TFileStream::ReadSome(void* buffer, int64_t count) {
  if (count <= 0 || fPosition >= fSize) return 0;
  if (!fPositionValid) {
    if (SeekFile(fFile, fPosition, SEEK_SET) != 0) throw EKelvaneStreamError("Stream seek error");
    fPositionValid = true;
  }
  const size_t got = std::fread(buffer, 1, static_cast<size_t>(count), fFile);
  fPosition += static_cast<int64_t>(got);
  if (got != static_cast<size_t>(count)) fPositionValid = false;
  return static_cast<int64_t>(got);
}

TMemoryStream::TMemoryStream(const void* data, size_t size)
    : fBytes(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size) {}

void TMemoryStream::Seek(int64_t position) {
  if (position < 0) throw EKelvaneStreamError("Stream seek error");
  fPosition = position;
}

int64_t TMemoryStream::ReadSome(void* buffer, int64_t count) {
  const int64_t size = Size();
  if (count <= 0 || fPosition >= size) return 0;
  const int64_t n = count < size - fPosition ? count : size - fPosition;
  std::memcpy(buffer, fBytes.data() + fPosition, static_cast<size_t>(n));
  fPosition += n;
  return n;
}

}  // namespace kelvane
