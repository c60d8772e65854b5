#pragma once

// A small BSON encoder and a token reader over untrusted bytes
// (little-endian documents with a 32-bit length prefix and a trailing zero).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "synth/exceptions.h"

namespace kelvane {

// Malformed bytes or a token of the wrong kind where the structure needs another.
class EKelvaneBSONError : public EKelvane {
 public:
  EKelvaneBSONError() : EKelvane("Corrupt BSON stream") {}
};

// A scalar that cannot become the type a field needs.
class EKelvaneConvertError : public EKelvane {
 public:
  using EKelvane::EKelvane;
};

enum class TBSONType : uint8_t {
  Double = 0x01,
  String = 0x02,
  Document = 0x03,
  Array = 0x04,
  Binary = 0x05,
  Undefined = 0x06,
  ObjectId = 0x07,
  Boolean = 0x08,
  DateTime = 0x09,
  Null = 0x0A,
  Regex = 0x0B,
  DBPointer = 0x0C,
  JavaScript = 0x0D,
  Symbol = 0x0E,
  JavaScriptWithScope = 0x0F,
  Int32 = 0x10,
  Timestamp = 0x11,
  Int64 = 0x12,
  Decimal128 = 0x13,
  MinKey = 0xFF,
  MaxKey = 0x7F,
};

class TBSONWriter {
 public:
  TBSONWriter();

  // Inside an array the key is ignored: elements are keyed "0", "1", ...
  void String(std::string_view key, std::string_view value);
  void Int32(std::string_view key, int32_t value);
  void Int64(std::string_view key, int64_t value);
  void Double(std::string_view key, double value);
  void Boolean(std::string_view key, bool value);
  void Null(std::string_view key);
  void BeginDocument(std::string_view key);
  void BeginArray(std::string_view key);
  void End();  // closes the innermost document or array

  // Closes the root document and hands over the bytes.
  std::vector<uint8_t> Finish();

 private:
  struct TFrame {
    size_t Start;
    bool IsArray;
    int32_t NextIndex;
  };
  void ElementHeader(TBSONType type, std::string_view key);
  void Close();
  void PutInt32(int32_t v);
  void PutInt64(int64_t v);

  std::vector<uint8_t> Bytes;
  std::vector<TFrame> Frames;
};

// One scalar element value as read.
struct TBSONValue {
  TBSONType Type = TBSONType::Null;
  double DoubleValue = 0;
  int64_t IntValue = 0;  // Int32, Int64, DateTime, Timestamp
  bool BoolValue = false;
  std::string Text;  // String, Symbol, JavaScript

  bool IsNumeric() const;  // Double, Int32, Int64 or Boolean
  // The conversions the state chunk applies; EKelvaneConvertError when impossible.
  int32_t AsInteger() const;
  double AsDouble() const;
  bool AsBoolean() const;
  std::string AsText() const;
};

enum class TBSONTokenKind { StartDocument, EndDocument, StartArray, EndArray, Key, Value, EndOfStream };

struct TBSONToken {
  TBSONTokenKind Kind = TBSONTokenKind::EndOfStream;
  std::string Key;   // Kind == Key
  TBSONValue Value;  // Kind == Value
};

// Yields the tokens of one or more concatenated documents. Array elements come
// without key tokens. Every length, string and type is checked against the
// bytes: anything malformed raises EKelvaneBSONError.
class TBSONReader {
 public:
  TBSONReader(const uint8_t* data, size_t size);

  TBSONToken Next();
  const TBSONToken& Peek();

  // Skips the rest of a value whose first token was just read.
  void SkipValue(const TBSONToken& first);

 private:
  struct TFrame {
    size_t End;  // offset of the terminating zero
    bool IsArray;
  };
  TBSONToken Read();
  size_t OpenContainer(bool isArray);
  uint8_t Byte();
  int32_t GetInt32();
  int64_t GetInt64();
  std::string CString();
  std::string LengthString();
  void Need(size_t count) const;

  const uint8_t* Data;
  size_t Size;
  size_t Pos = 0;
  std::vector<TFrame> Frames;
  bool PendingValue = false;  // a key was read; its value comes next
  TBSONType PendingType = TBSONType::Null;
  bool HasPeeked = false;
  TBSONToken Peeked;
};

}  // namespace kelvane
