#include "plugin/tuning_file.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <iterator>
#include <vector>

#include "banks/stream.h"

namespace kelvane {

namespace {

constexpr double LogC0 = 4.0313842;  // log2 of the frequency of C0 (about 16.3516 Hz)
constexpr size_t MaxDegrees = 128;
constexpr size_t MaxSignificantDigits = 53;

bool IsSpaceOrControl(char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpaceOrControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpaceOrControl(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view UpToSpace(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && !IsSpaceOrControl(text[i])) ++i;
  return text.substr(0, i);
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// Digits in base 2, 8 or 16 become hexadecimal digits so that from_chars
// rounds the value exactly.
double ParsePowerOfTwoBase(std::string_view intDigits, std::string_view fracDigits, int base) {
  const int bitsPerDigit = base == 2 ? 1 : base == 8 ? 3 : 4;
  auto toBits = [&](std::string_view digits) {
    std::string bits;
    for (char c : digits) {
      const int v = DigitValue(c);
      for (int b = bitsPerDigit - 1; b >= 0; --b) bits.push_back(((v >> b) & 1) ? '1' : '0');
    }
    return bits;
  };
  std::string intBits = toBits(intDigits);
  std::string fracBits = toBits(fracDigits);
  intBits.insert(0, (4 - intBits.size() % 4) % 4, '0');
  fracBits.append((4 - fracBits.size() % 4) % 4, '0');
  auto toHex = [](const std::string& bits) {
    std::string hex;
    for (size_t i = 0; i < bits.size(); i += 4) {
      int v = 0;
      for (size_t j = 0; j < 4; ++j) v = v * 2 + (bits[i + j] - '0');
      hex.push_back("0123456789abcdef"[v]);
    }
    return hex;
  };
  std::string hex = toHex(intBits);
  if (hex.empty()) hex = "0";
  if (!fracBits.empty()) hex += "." + toHex(fracBits);
  double value = 0;
  std::from_chars(hex.data(), hex.data() + hex.size(), value, std::chars_format::hex);
  return value;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
      lines.push_back(text.substr(start, i - start));
      if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  return lines;
}

// Trimmed lines that are neither empty nor hold a "!".
std::vector<std::string_view> KeptLines(std::string_view text) {
  std::vector<std::string_view> kept;
  for (std::string_view line : SplitLines(text)) {
    line = Trim(line);
    if (line.empty() || line.find('!') != std::string_view::npos) continue;
    kept.push_back(line);
  }
  return kept;
}

void AppendUTF8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string DecodeUTF16(std::string_view bytes, bool bigEndian) {
  std::string out;
  auto unit = [&](size_t i) {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    return static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
      const char16_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // lone surrogate
    AppendUTF8(out, c);
  }
  return out;
}

TTuningTable StandardTuning() {
  TTuningTable table{};
  for (size_t k = 0; k < table.size(); ++k) table[k] = static_cast<double>(k);
  return table;
}

// A pitch that is no finite number would leave the key silent or noisy.
double PitchOrError(std::string_view line) {
  const double value = ConvertStringToDouble(UpToSpace(line));
  if (!std::isfinite(value))
    throw EKelvaneTuningFileError("The tuning file holds a line that is no pitch: \"" + std::string(line) + "\"");
  return value;
}

TTuningTable ParsePitchList(const std::vector<std::string_view>& lines) {
  TTuningTable table = StandardTuning();
  for (size_t i = 0; i < lines.size() && i < table.size(); ++i) table[i] = PitchOrError(lines[i]);
  return table;
}

struct TScaleDegree {
  bool IsCents;
  double Value;  // cents, or a frequency ratio
};

// A degree is cents (a finite number) or a positive finite ratio; anything
// else is refused rather than turned into NaN pitches.
TScaleDegree ParseDegree(std::string_view line) {
  auto refuse = [&](const char* why) {
    return EKelvaneTuningFileError("The Scala degree \"" + std::string(line) + "\" " + why);
  };
  if (line.find('.') != std::string_view::npos) {
    const double cents = ConvertStringToDouble(UpToSpace(line));
    if (!std::isfinite(cents)) throw refuse("is no number of cents");
    return {true, cents};
  }
  const size_t slash = line.find('/');
  const double numerator = ConvertStringToDouble(Trim(line.substr(0, slash)));
  double ratio = numerator;
  if (slash != std::string_view::npos) {
    const std::string_view denominatorText = Trim(UpToSpace(Trim(line.substr(slash + 1))));
    if (!denominatorText.empty()) {
      double denominator = ConvertStringToDouble(denominatorText);
      if (denominator == 0) denominator = 1;
      ratio = numerator / denominator;
    }
  }
  if (!std::isfinite(ratio)) throw refuse("is no ratio");
  if (ratio <= 0) throw refuse("is no positive ratio");
  return {false, ratio};
}

TTuningTable ParseScala(const std::vector<std::string_view>& lines) {
  // Lines 0 and 1 are the description and the note count.
  std::vector<TScaleDegree> degrees;
  for (size_t i = 2; i < lines.size() && degrees.size() < MaxDegrees; ++i) degrees.push_back(ParseDegree(lines[i]));
  // Nothing to repeat (the table could never be filled).
  if (degrees.empty()) throw EKelvaneTuningFileError("The Scala file has no degrees");

  TTuningTable table{};
  double base = 0;
  double f = std::exp2(base + LogC0);
  size_t k = 1;
  while (k < table.size()) {
    for (const TScaleDegree& degree : degrees) {
      if (degree.IsCents) {
        table[k] = base + degree.Value / 1200.0;
      } else {
        table[k] = std::log2(f * degree.Value) - LogC0;
      }
      if (++k >= table.size()) break;
    }
    base = table[k - 1];
    f = std::exp2(base + LogC0);
  }
  for (double& entry : table) {
    entry *= 12.0;
    // Huge degrees can still run past the range of a double.
    if (!std::isfinite(entry)) throw EKelvaneTuningFileError("The Scala scale reaches pitches out of range");
  }
  return table;
}

std::string LowerExtension(std::string_view extension) {
  std::string ext(extension);
  if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return ext;
}

}  // namespace

double ConvertStringToDouble(std::string_view text, bool* ok, int32_t base) {
  if (ok) *ok = false;
  size_t i = 0;
  while (i < text.size() && IsSpaceOrControl(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::string_view rest = text.substr(i);
  const double sign = negative ? -1.0 : 1.0;
  if (rest.starts_with("Infinity")) {
    if (ok) *ok = true;
    return sign * std::numeric_limits<double>::infinity();
  }
  if (rest.starts_with("NaN")) {
    if (ok) *ok = true;
    return std::numeric_limits<double>::quiet_NaN();
  }

  if (base == 0) {
    base = 10;
    if (rest.size() >= 2 && rest[0] == '0') {
      const char p = rest[1];
      if (p == 'b' || p == 'B') base = 2;
      if (p == 'o' || p == 'O') base = 8;
      if (p == 'x' || p == 'X') base = 16;
      if (base != 10) i += 2;
    }
  }

  auto scanDigits = [&](int32_t radix) {
    const size_t start = i;
    while (i < text.size() && DigitValue(text[i]) < radix) ++i;
    return text.substr(start, i - start);
  };

  if (base == 2 || base == 8 || base == 16) {
    const std::string_view intDigits = scanDigits(base);
    std::string_view fracDigits;
    if (i < text.size() && text[i] == '.') {
      ++i;
      fracDigits = scanDigits(base);
    }
    if (intDigits.empty() && fracDigits.empty()) return std::numeric_limits<double>::quiet_NaN();
    if (ok) *ok = true;
    return sign * ParsePowerOfTwoBase(intDigits, fracDigits, base);
  }

  // Decimal: keep at most 53 significant digits, then let from_chars round.
  std::string mantissa;
  int64_t exponent = 0;  // decimal exponent of the last kept digit
  size_t significant = 0;
  bool anyDigit = false;
  auto take = [&](char c, bool fraction) {
    anyDigit = true;
    if (significant == 0 && c == '0') {
      if (fraction) --exponent;
      return;
    }
    if (significant < MaxSignificantDigits) {
      mantissa.push_back(c);
      ++significant;
      if (fraction) --exponent;
    } else if (!fraction) {
      ++exponent;  // a dropped integer digit still scales the value
    }
  };
  while (i < text.size() && DigitValue(text[i]) < 10) take(text[i++], false);
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && DigitValue(text[i]) < 10) take(text[i++], true);
  }
  if (!anyDigit) return std::numeric_limits<double>::quiet_NaN();
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    bool expNegative = false;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) expNegative = text[j++] == '-';
    if (j < text.size() && DigitValue(text[j]) < 10) {
      int64_t e = 0;
      while (j < text.size() && DigitValue(text[j]) < 10) {
        if (e < 100000) e = e * 10 + DigitValue(text[j]);
        ++j;
      }
      exponent += expNegative ? -e : e;
    }
  }
  if (ok) *ok = true;
  if (mantissa.empty()) return sign * 0.0;
  const std::string normal = mantissa + "e" + std::to_string(exponent);
  double value = 0;
  const auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
  if (ec == std::errc::result_out_of_range)
    value = exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  (void)end;
  return sign * value;
}

std::string DecodeTuningText(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return std::string(bytes.substr(3));
  if (bytes.starts_with("\xFF\xFE")) return DecodeUTF16(bytes.substr(2), false);
  if (bytes.starts_with("\xFE\xFF")) return DecodeUTF16(bytes.substr(2), true);
  return std::string(bytes);
}

TTuningTable ParseTuningText(std::string_view text, std::string_view extension) {
  const std::string ext = LowerExtension(extension);
  if (ext == "scl") return ParseScala(KeptLines(text));
  if (ext == "mtd") return ParsePitchList(KeptLines(text));
  return StandardTuning();
}

TTuningTable ReadTuningFile(const std::string& fileName) {
  std::error_code error;
  const bool isFile = std::filesystem::is_regular_file(FileNamePath(fileName), error);
  std::ifstream file(FileNamePath(fileName), std::ios::binary);
  std::string bytes;
  if (isFile && file) bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (!isFile || !file || file.bad())
    throw EKelvaneTuningFileError("Cannot read the tuning file \"" + fileName + "\"");
  const std::filesystem::path path = FileNamePath(fileName);
  try {
    return ParseTuningText(DecodeTuningText(bytes), PathText(path.extension()));
  } catch (const EKelvaneTuningFileError& error) {
    throw EKelvaneTuningFileError("\"" + fileName + "\": " + error.what());
  }
}

void LoadChannelTuningFile(TVSTiMIDIChannel& channel, const std::string& fileName) {
  const TTuningTable table = ReadTuningFile(fileName);
  channel.TuningTable = table;
  channel.TuningTableName = PathText(FileNamePath(fileName).filename());
  channel.SetFlag(mcfTuningTableActive, true);
}

}  // namespace kelvane
