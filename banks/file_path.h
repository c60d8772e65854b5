#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

// Paths inside the system are UTF-8 strings. They reach the file system only
// through the functions below: Windows takes them as UTF-16, POSIX as bytes.

// UTF-16 of UTF-8 text; none when the text is not valid UTF-8 (a cut or stray
// continuation byte, an overlong form, an encoded surrogate, beyond U+10FFFF).
std::optional<std::u16string> Utf16FromUtf8(std::string_view Text);
// UTF-8 of UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::u16string_view Text);

enum class TFileMode {
  Read,
  ReadDenyWrite,  // a bank kept open: nobody may write it meanwhile (where the system can refuse)
  Write,          // created or truncated
  Append,         // created or appended to; never truncates
};

// fopen by UTF-8 path, always binary. nullptr with errno set on failure;
// errno is EILSEQ when the name cannot be a file name here (not UTF-8 on Windows).
std::FILE* OpenFile(const std::string& Path, TFileMode Mode);

// The std::filesystem path of a UTF-8 path, for the filesystem calls and for
// streams. Raises EKelvaneStreamError when the name cannot be a file name here.
std::filesystem::path FileSystemPath(const std::string& Path);

// The UTF-8 text of a std::filesystem path (directory listings, the current
// directory).
std::string Utf8OfPath(const std::filesystem::path& Path);

// The roots of the file system as UTF-8 folder paths ending in '/': "/" on
// POSIX, the drives ("C:/", "D:/", ...) on Windows.
std::vector<std::string> FileSystemRoots();

// The part of a UTF-8 path after its last separator ('/', and '\\' and ':' on Windows).
std::string FileNameOf(const std::string& Path);
// The file name's extension with its dot ("" when it has none; a leading dot
// starts no extension).
std::string ExtensionOf(const std::string& Path);

// Message text for a path that is not valid UTF-8.
std::string InvalidFileNameMessage(const std::string& Path);

}  // namespace kelvane
