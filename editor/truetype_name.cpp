#include "editor/truetype_name.h"

namespace kelvane {

namespace {

class TReader {
 public:
  TReader(const unsigned char* data, size_t size) : fData(data), fSize(size) {}
  bool Has(size_t offset, size_t length) const { return offset <= fSize && length <= fSize - offset; }
  uint16_t U16(size_t offset) const { return static_cast<uint16_t>(fData[offset] << 8 | fData[offset + 1]); }
  uint32_t U32(size_t offset) const { return static_cast<uint32_t>(U16(offset)) << 16 | U16(offset + 2); }

 private:
  const unsigned char* fData;
  size_t fSize;
};

void AppendUTF8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string ReadTrueTypeName(const unsigned char* data, size_t size, uint16_t nameID, uint16_t language) {
  constexpr uint16_t PlatformWindows = 3, EncodingUnicodeBMP = 1;
  const TReader in(data, size);
  if (data == nullptr || !in.Has(0, 12)) return {};
  const uint16_t tables = in.U16(4);
  size_t name = 0, nameLength = 0;
  for (size_t i = 0; i < tables; ++i) {
    const size_t record = 12 + i * 16;
    if (!in.Has(record, 16)) return {};
    if (in.U32(record) == 0x6E616D65u) {  // "name"
      name = in.U32(record + 8);
      nameLength = in.U32(record + 12);
      break;
    }
  }
  if (nameLength < 6 || !in.Has(name, nameLength)) return {};
  const size_t count = in.U16(name + 2);
  const size_t strings = name + in.U16(name + 4);
  for (size_t i = 0; i < count; ++i) {
    const size_t record = name + 6 + i * 12;
    if (record + 12 > name + nameLength) return {};
    if (in.U16(record) != PlatformWindows || in.U16(record + 2) != EncodingUnicodeBMP ||
        in.U16(record + 4) != language || in.U16(record + 6) != nameID)
      continue;
    const size_t length = in.U16(record + 8), offset = strings + in.U16(record + 10);
    if (!in.Has(offset, length)) return {};
    std::string text;
    for (size_t k = 0; k + 1 < length; k += 2) {
      uint32_t c = in.U16(offset + k);
      if (c >= 0xD800 && c < 0xDC00 && k + 3 < length) {
        const uint32_t low = in.U16(offset + k + 2);
        if (low >= 0xDC00 && low < 0xE000) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          k += 2;
        }
      }
      AppendUTF8(text, c);
    }
    return text;
  }
  return {};
}

}  // namespace kelvane
