#include "banks/file_path.h"

namespace kelvane {

namespace {

#if defined(_WIN32)
constexpr std::string_view Separators = "/\\:";
#else
constexpr std::string_view Separators = "/";
#endif

// Length of the UTF-8 sequence at Text[Pos] and its code point in Code; 0 when
// the bytes there are no valid sequence.
size_t DecodeUtf8(std::string_view Text, size_t Pos, char32_t& Code) {
  const auto lead = static_cast<unsigned char>(Text[Pos]);
  size_t length;
  char32_t least;
  if (lead < 0x80) {
    Code = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, least = 0x80, Code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, least = 0x800, Code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, least = 0x10000, Code = lead & 0x07;
  } else {
    return 0;
  }
  if (Text.size() - Pos < length) return 0;
  for (size_t i = 1; i < length; i++) {
    const auto next = static_cast<unsigned char>(Text[Pos + i]);
    if ((next & 0xC0) != 0x80) return 0;
    Code = (Code << 6) | (next & 0x3F);
  }
  if (Code < least || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF)) return 0;
  return length;
}

void AppendUtf8(std::string& Out, char32_t Code) {
  if (Code < 0x80) {
    Out += static_cast<char>(Code);
  } else if (Code < 0x800) {
    Out += static_cast<char>(0xC0 | (Code >> 6));
    Out += static_cast<char>(0x80 | (Code & 0x3F));
  } else if (Code < 0x10000) {
    Out += static_cast<char>(0xE0 | (Code >> 12));
    Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Code & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (Code >> 18));
    Out += static_cast<char>(0x80 | ((Code >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Code & 0x3F));
  }
}

}  // namespace

std::optional<std::u16string> Utf16FromUtf8(std::string_view Text) {
  std::u16string out;
  out.reserve(Text.size());
  for (size_t pos = 0; pos < Text.size();) {
    char32_t code = 0;
    const size_t length = DecodeUtf8(Text, pos, code);
    if (length == 0) return std::nullopt;
    pos += length;
    if (code < 0x10000) {
      out += static_cast<char16_t>(code);
    } else {
      code -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    }
  }
  return out;
}

std::string Utf8FromUtf16(std::u16string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size(); i++) {
    char32_t code = Text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 && Text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (Text[i + 1] - 0xDC00);
      i++;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    AppendUtf8(out, code);
  }
  return out;
}

std::string FileNameOf(const std::string& Path) {
  const size_t separator = Path.find_last_of(Separators);
  return separator == std::string::npos ? Path : Path.substr(separator + 1);
}

std::string ExtensionOf(const std::string& Path) {
  const std::string name = FileNameOf(Path);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name == "..") return {};
  return name.substr(dot);
}

std::string InvalidFileNameMessage(const std::string& Path) {
  // The bytes that are no UTF-8 are shown as \xNN, so the message itself is valid text.
  std::string shown;
  for (size_t pos = 0; pos < Path.size();) {
    char32_t code = 0;
    const size_t length = DecodeUtf8(Path, pos, code);
    if (length == 0) {
      static constexpr char Hex[] = "0123456789ABCDEF";
      const auto byte = static_cast<unsigned char>(Path[pos]);
      shown += "\\x";
      shown += Hex[byte >> 4];
      shown += Hex[byte & 0x0F];
      pos++;
    } else {
      shown.append(Path, pos, length);
      pos += length;
    }
  }
  return "The file name \"" + shown + "\" is not valid UTF-8";
}

#if !defined(_WIN32)
// POSIX file names are bytes: the UTF-8 path is the name.
std::FILE* OpenFile(const std::string& Path, TFileMode Mode) {
  // No share modes here: a bank read is a plain read.
  static constexpr const char* Modes[] = {"rb", "rb", "wb", "ab"};
  return std::fopen(Path.c_str(), Modes[static_cast<int>(Mode)]);
}

std::filesystem::path FileSystemPath(const std::string& Path) { return std::filesystem::path(Path); }

std::string Utf8OfPath(const std::filesystem::path& Path) { return Path.string(); }

std::vector<std::string> FileSystemRoots() { return {"/"}; }
#endif

}  // namespace kelvane
