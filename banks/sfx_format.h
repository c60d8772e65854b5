#pragma once

// Encodings of the extended bank format (SFX): variable-length integers and
// named fields, shared by the reader, the writer and their tests.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

inline constexpr char SFXMagic[] = "Sound Font eXtended";
inline constexpr int64_t SFXMagicSize = 19;
inline constexpr int64_t SFXHeaderSize = SFXMagicSize + 8;  // magic, then the body length

// Appends v as groups of 7 bits, most significant first.
inline void AppendVarUInt(std::vector<uint8_t>& out, uint64_t v) {
  uint8_t groups[10];
  int n = 0;
  do {
    groups[n++] = static_cast<uint8_t>(v & 127);
    v >>= 7;
  } while (v != 0);
  while (n > 1) out.push_back(static_cast<uint8_t>(groups[--n] | 128));
  out.push_back(groups[0]);
}

// Reads from a bounded byte range; every read fails (returns false) rather
// than pass the end.
class TSFXCursor {
 public:
  TSFXCursor(const uint8_t* data, int64_t size) : fData(data), fSize(size) {}

  int64_t Position() const { return fPosition; }
  int64_t Remaining() const { return fSize - fPosition; }
  const uint8_t* Here() const { return fData + fPosition; }
  bool Skip(int64_t n) {
    if (n < 0 || n > Remaining()) return false;
    fPosition += n;
    return true;
  }
  // Accumulates value * 128 + low bits; wider values keep their low 64 bits.
  bool ReadVarUInt(uint64_t& value) {
    value = 0;
    while (fPosition < fSize) {
      const uint8_t b = fData[fPosition++];
      value = (value << 7) | (b & 127u);
      if ((b & 128u) == 0) return true;
    }
    return false;
  }
  bool ReadVarUInt32(uint32_t& value) {
    uint64_t v;
    if (!ReadVarUInt(v)) return false;
    value = static_cast<uint32_t>(v);
    return true;
  }

 private:
  const uint8_t* fData;
  int64_t fSize;
  int64_t fPosition = 0;
};

// Builds a sequence of fields in memory.
class TSFXFieldWriter {
 public:
  std::vector<uint8_t> Bytes;

  void Raw(std::string_view name, const void* data, size_t size) {
    AppendVarUInt(Bytes, name.size());
    Bytes.insert(Bytes.end(), name.begin(), name.end());
    AppendVarUInt(Bytes, size);
    const auto* p = static_cast<const uint8_t*>(data);
    Bytes.insert(Bytes.end(), p, p + size);
  }
  void Raw(std::string_view name, const std::vector<uint8_t>& data) { Raw(name, data.data(), data.size()); }
  void Int(std::string_view name, int32_t value) {
    std::vector<uint8_t> v;
    AppendVarUInt(v, static_cast<uint32_t>(value));
    Raw(name, v);
  }
  void Bool(std::string_view name, bool value) {
    const uint8_t b = value ? 1 : 0;
    Raw(name, &b, 1);
  }
  void Double(std::string_view name, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    uint8_t le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<uint8_t>(bits >> (8 * i));
    Raw(name, le, 8);
  }
  void String(std::string_view name, const std::string& value) { Raw(name, value.data(), value.size()); }
  void Record(std::string_view name, const TSFXFieldWriter& record) { Raw(name, record.Bytes); }
};

}  // namespace kelvane
