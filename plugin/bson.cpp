#include "plugin/bson.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace kelvane {

namespace {

const char* TypeName(TBSONType type) {
  switch (type) {
    case TBSONType::Double: return "double";
    case TBSONType::String: return "string";
    case TBSONType::Document: return "document";
    case TBSONType::Array: return "array";
    case TBSONType::Binary: return "binary";
    case TBSONType::Undefined: return "undefined";
    case TBSONType::ObjectId: return "object id";
    case TBSONType::Boolean: return "boolean";
    case TBSONType::DateTime: return "date-time";
    case TBSONType::Null: return "null";
    case TBSONType::Regex: return "regular expression";
    case TBSONType::DBPointer: return "DB pointer";
    case TBSONType::JavaScript: return "JavaScript code";
    case TBSONType::Symbol: return "symbol";
    case TBSONType::JavaScriptWithScope: return "JavaScript code with scope";
    case TBSONType::Int32: return "int32";
    case TBSONType::Timestamp: return "timestamp";
    case TBSONType::Int64: return "int64";
    case TBSONType::Decimal128: return "decimal128";
    case TBSONType::MinKey: return "min key";
    case TBSONType::MaxKey: return "max key";
  }
  return "unknown";
}

[[noreturn]] void CannotConvert(const TBSONValue& value, const char* target) {
  throw EKelvaneConvertError(std::string("Could not convert a BSON ") + TypeName(value.Type) + " value to " + target);
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

bool ParseDouble(std::string_view text, double& out) {
  text = Trimmed(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] + 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

bool IsKnownType(uint8_t type) {
  return (type >= 0x01 && type <= 0x13) || type == 0xFF || type == 0x7F;
}

}  // namespace

// ---------------------------------------------------------------- writer

TBSONWriter::TBSONWriter() {
  Frames.push_back({0, false, 0});
  PutInt32(0);
}

void TBSONWriter::PutInt32(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) Bytes.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

void TBSONWriter::PutInt64(int64_t v) {
  const auto u = static_cast<uint64_t>(v);
  for (int i = 0; i < 8; ++i) Bytes.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

void TBSONWriter::ElementHeader(TBSONType type, std::string_view key) {
  Bytes.push_back(static_cast<uint8_t>(type));
  TFrame& frame = Frames.back();
  if (frame.IsArray) {
    const std::string index = std::to_string(frame.NextIndex++);
    Bytes.insert(Bytes.end(), index.begin(), index.end());
  } else {
    // A key ends at its first zero byte; a key holding one could not be read back.
    key = key.substr(0, key.find('\0'));
    Bytes.insert(Bytes.end(), key.begin(), key.end());
  }
  Bytes.push_back(0);
}

void TBSONWriter::String(std::string_view key, std::string_view value) {
  ElementHeader(TBSONType::String, key);
  PutInt32(static_cast<int32_t>(value.size() + 1));
  Bytes.insert(Bytes.end(), value.begin(), value.end());
  Bytes.push_back(0);
}

void TBSONWriter::Int32(std::string_view key, int32_t value) {
  ElementHeader(TBSONType::Int32, key);
  PutInt32(value);
}

void TBSONWriter::Int64(std::string_view key, int64_t value) {
  ElementHeader(TBSONType::Int64, key);
  PutInt64(value);
}

void TBSONWriter::Double(std::string_view key, double value) {
  ElementHeader(TBSONType::Double, key);
  PutInt64(std::bit_cast<int64_t>(value));
}

void TBSONWriter::Boolean(std::string_view key, bool value) {
  ElementHeader(TBSONType::Boolean, key);
  Bytes.push_back(value ? 1 : 0);
}

void TBSONWriter::Null(std::string_view key) { ElementHeader(TBSONType::Null, key); }

void TBSONWriter::BeginDocument(std::string_view key) {
  ElementHeader(TBSONType::Document, key);
  Frames.push_back({Bytes.size(), false, 0});
  PutInt32(0);
}

void TBSONWriter::BeginArray(std::string_view key) {
  ElementHeader(TBSONType::Array, key);
  Frames.push_back({Bytes.size(), true, 0});
  PutInt32(0);
}

void TBSONWriter::Close() {
  Bytes.push_back(0);
  const auto length = static_cast<uint32_t>(Bytes.size() - Frames.back().Start);
  for (int i = 0; i < 4; ++i) Bytes[Frames.back().Start + i] = static_cast<uint8_t>(length >> (8 * i));
  Frames.pop_back();
}

void TBSONWriter::End() {
  if (Frames.size() > 1) Close();
}

std::vector<uint8_t> TBSONWriter::Finish() {
  while (!Frames.empty()) Close();
  return std::move(Bytes);
}

// ---------------------------------------------------------------- values

bool TBSONValue::IsNumeric() const {
  return Type == TBSONType::Double || Type == TBSONType::Int32 || Type == TBSONType::Int64 ||
         Type == TBSONType::Boolean;
}

int32_t TBSONValue::AsInteger() const {
  double v = 0;
  switch (Type) {
    case TBSONType::Int32:
    case TBSONType::Int64:
      if (IntValue < std::numeric_limits<int32_t>::min() || IntValue > std::numeric_limits<int32_t>::max())
        CannotConvert(*this, "an integer");
      return static_cast<int32_t>(IntValue);
    case TBSONType::Boolean:
      return BoolValue ? 1 : 0;
    case TBSONType::Double:
      v = std::nearbyint(DoubleValue);
      break;
    case TBSONType::String:
    case TBSONType::Symbol:
      if (!ParseDouble(Text, v)) CannotConvert(*this, "an integer");
      v = std::nearbyint(v);
      break;
    default:
      CannotConvert(*this, "an integer");
  }
  if (!(v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()))
    CannotConvert(*this, "an integer");
  return static_cast<int32_t>(v);
}

double TBSONValue::AsDouble() const {
  switch (Type) {
    case TBSONType::Double: return DoubleValue;
    case TBSONType::Int32:
    case TBSONType::Int64: return static_cast<double>(IntValue);
    case TBSONType::Boolean: return BoolValue ? 1.0 : 0.0;
    case TBSONType::String:
    case TBSONType::Symbol: {
      double v = 0;
      if (!ParseDouble(Text, v)) CannotConvert(*this, "a number");
      return v;
    }
    default: CannotConvert(*this, "a number");
  }
}

bool TBSONValue::AsBoolean() const {
  switch (Type) {
    case TBSONType::Boolean: return BoolValue;
    case TBSONType::Double: return DoubleValue != 0;
    case TBSONType::Int32:
    case TBSONType::Int64: return IntValue != 0;
    case TBSONType::String:
    case TBSONType::Symbol: {
      const std::string_view text = Trimmed(Text);
      if (EqualsIgnoringCase(text, "true")) return true;
      if (EqualsIgnoringCase(text, "false")) return false;
      double v = 0;
      if (!ParseDouble(text, v)) CannotConvert(*this, "a boolean");
      return v != 0;
    }
    default: CannotConvert(*this, "a boolean");
  }
}

std::string TBSONValue::AsText() const {
  switch (Type) {
    case TBSONType::String:
    case TBSONType::Symbol:
    case TBSONType::JavaScript: return Text;
    case TBSONType::Int32:
    case TBSONType::Int64: return std::to_string(IntValue);
    case TBSONType::Double: {
      char buffer[64];
      const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, DoubleValue);
      return ec == std::errc() ? std::string(buffer, end) : std::string();
    }
    case TBSONType::Boolean: return BoolValue ? "true" : "false";
    case TBSONType::Null:
    case TBSONType::Undefined: return {};
    default: CannotConvert(*this, "text");
  }
}

// ---------------------------------------------------------------- reader

TBSONReader::TBSONReader(const uint8_t* data, size_t size) : Data(data), Size(data ? size : 0) {}

void TBSONReader::Need(size_t count) const {
  const size_t limit = Frames.empty() ? Size : Frames.back().End;
  if (Pos > limit || limit - Pos < count) throw EKelvaneBSONError();
}

uint8_t TBSONReader::Byte() {
  Need(1);
  return Data[Pos++];
}

int32_t TBSONReader::GetInt32() {
  Need(4);
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(Data[Pos + i]) << (8 * i);
  Pos += 4;
  return static_cast<int32_t>(u);
}

int64_t TBSONReader::GetInt64() {
  Need(8);
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u |= static_cast<uint64_t>(Data[Pos + i]) << (8 * i);
  Pos += 8;
  return static_cast<int64_t>(u);
}

std::string TBSONReader::CString() {
  const size_t limit = Frames.empty() ? Size : Frames.back().End;
  const void* zero = Pos < limit ? std::memchr(Data + Pos, 0, limit - Pos) : nullptr;
  if (zero == nullptr) throw EKelvaneBSONError();
  const size_t length = static_cast<const uint8_t*>(zero) - (Data + Pos);
  std::string text(reinterpret_cast<const char*>(Data + Pos), length);
  Pos += length + 1;
  return text;
}

std::string TBSONReader::LengthString() {
  const int32_t length = GetInt32();
  if (length < 1) throw EKelvaneBSONError();
  Need(static_cast<size_t>(length));
  if (Data[Pos + static_cast<size_t>(length) - 1] != 0) throw EKelvaneBSONError();
  std::string text(reinterpret_cast<const char*>(Data + Pos), static_cast<size_t>(length) - 1);
  Pos += static_cast<size_t>(length);
  return text;
}

size_t TBSONReader::OpenContainer(bool isArray) {
  const size_t start = Pos;
  const int32_t length = GetInt32();
  if (length < 5) throw EKelvaneBSONError();
  Pos = start;
  Need(static_cast<size_t>(length));
  Pos = start + 4;
  Frames.push_back({start + static_cast<size_t>(length) - 1, isArray});
  return start;
}

TBSONToken TBSONReader::Read() {
  TBSONToken token;
  if (Frames.empty()) {
    if (Pos >= Size) {
      token.Kind = TBSONTokenKind::EndOfStream;
      return token;
    }
    OpenContainer(false);
    token.Kind = TBSONTokenKind::StartDocument;
    return token;
  }

  TBSONType type;
  if (PendingValue) {
    PendingValue = false;
    type = PendingType;
  } else {
    if (Pos == Frames.back().End) {
      if (Data[Pos] != 0) throw EKelvaneBSONError();
      ++Pos;
      token.Kind = Frames.back().IsArray ? TBSONTokenKind::EndArray : TBSONTokenKind::EndDocument;
      Frames.pop_back();
      return token;
    }
    const uint8_t typeByte = Byte();
    if (!IsKnownType(typeByte)) throw EKelvaneBSONError();
    type = static_cast<TBSONType>(typeByte);
    std::string key = CString();
    if (!Frames.back().IsArray) {
      PendingValue = true;
      PendingType = type;
      token.Kind = TBSONTokenKind::Key;
      token.Key = std::move(key);
      return token;
    }
  }

  TBSONValue& value = token.Value;
  value.Type = type;
  token.Kind = TBSONTokenKind::Value;
  switch (type) {
    case TBSONType::Document:
      OpenContainer(false);
      token.Kind = TBSONTokenKind::StartDocument;
      break;
    case TBSONType::Array:
      OpenContainer(true);
      token.Kind = TBSONTokenKind::StartArray;
      break;
    case TBSONType::Double: value.DoubleValue = std::bit_cast<double>(GetInt64()); break;
    case TBSONType::String:
    case TBSONType::Symbol:
    case TBSONType::JavaScript: value.Text = LengthString(); break;
    case TBSONType::Binary: {
      const int32_t length = GetInt32();
      if (length < 0) throw EKelvaneBSONError();
      Byte();  // subtype
      Need(static_cast<size_t>(length));
      Pos += static_cast<size_t>(length);
      break;
    }
    case TBSONType::Undefined:
    case TBSONType::Null:
    case TBSONType::MinKey:
    case TBSONType::MaxKey: break;
    case TBSONType::ObjectId:
      Need(12);
      Pos += 12;
      break;
    case TBSONType::Boolean: {
      const uint8_t b = Byte();
      if (b > 1) throw EKelvaneBSONError();
      value.BoolValue = b != 0;
      break;
    }
    case TBSONType::DateTime:
    case TBSONType::Timestamp:
    case TBSONType::Int64: value.IntValue = GetInt64(); break;
    case TBSONType::Regex:
      CString();
      CString();
      break;
    case TBSONType::DBPointer:
      LengthString();
      Need(12);
      Pos += 12;
      break;
    case TBSONType::JavaScriptWithScope: {
      const size_t start = Pos;
      const int32_t length = GetInt32();
      if (length < 14) throw EKelvaneBSONError();  // length, empty code string, empty scope document
      Pos = start;
      Need(static_cast<size_t>(length));
      Pos = start + static_cast<size_t>(length);
      break;
    }
    case TBSONType::Int32: value.IntValue = GetInt32(); break;
    case TBSONType::Decimal128:
      Need(16);
      Pos += 16;
      break;
  }
  return token;
}

TBSONToken TBSONReader::Next() {
  if (HasPeeked) {
    HasPeeked = false;
    return std::move(Peeked);
  }
  return Read();
}

const TBSONToken& TBSONReader::Peek() {
  if (!HasPeeked) {
    Peeked = Read();
    HasPeeked = true;
  }
  return Peeked;
}

void TBSONReader::SkipValue(const TBSONToken& first) {
  if (first.Kind != TBSONTokenKind::StartDocument && first.Kind != TBSONTokenKind::StartArray) return;
  size_t depth = 1;
  while (depth > 0) {
    const TBSONToken token = Next();
    switch (token.Kind) {
      case TBSONTokenKind::StartDocument:
      case TBSONTokenKind::StartArray: ++depth; break;
      case TBSONTokenKind::EndDocument:
      case TBSONTokenKind::EndArray: --depth; break;
      case TBSONTokenKind::EndOfStream: throw EKelvaneBSONError();
      default: break;
    }
  }
}

}  // namespace kelvane
