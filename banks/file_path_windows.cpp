// UTF-8 paths to the wide file calls: the narrow ones would read them in the
// ANSI code page.
#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <share.h>
#include <stdio.h>
#include <windows.h>

#include <cerrno>
#include <cwchar>

#include "banks/file_path.h"
#include "banks/stream.h"

namespace kelvane {

namespace {

std::optional<std::wstring> WidePath(const std::string& Path) {
  const std::optional<std::u16string> utf16 = Utf16FromUtf8(Path);
  // An embedded NUL would cut the name short and open another file.
  if (!utf16 || utf16->find(u'\0') != std::u16string::npos) return std::nullopt;
  return std::wstring(utf16->begin(), utf16->end());
}

}  // namespace

std::FILE* OpenFile(const std::string& Path, TFileMode Mode) {
  const std::optional<std::wstring> wide = WidePath(Path);
  if (!wide) {
    errno = EILSEQ;
    return nullptr;
  }
  switch (Mode) {
    case TFileMode::ReadDenyWrite:
      return _wfsopen(wide->c_str(), L"rb", _SH_DENYWR);
    case TFileMode::Write:
      return _wfopen(wide->c_str(), L"wb");
    case TFileMode::Append:
      return _wfopen(wide->c_str(), L"ab");
    case TFileMode::Read:
      break;
  }
  return _wfopen(wide->c_str(), L"rb");
}

std::filesystem::path FileSystemPath(const std::string& Path) {
  std::optional<std::wstring> wide = WidePath(Path);
  if (!wide) throw EKelvaneStreamError(InvalidFileNameMessage(Path));
  return std::filesystem::path(std::move(*wide));
}

std::string Utf8OfPath(const std::filesystem::path& Path) {
  const std::wstring& wide = Path.native();
  return Utf8FromUtf16(std::u16string(wide.begin(), wide.end()));
}

std::vector<std::string> FileSystemRoots() {
  // The drives as "C:\", NUL, "D:\", NUL, ..., NUL.
  std::vector<wchar_t> drives(GetLogicalDriveStringsW(0, nullptr) + 1);
  const DWORD length = GetLogicalDriveStringsW(static_cast<DWORD>(drives.size()), drives.data());
  std::vector<std::string> roots;
  for (const wchar_t* drive = drives.data(); length > 0 && length < drives.size() && *drive != 0;
       drive += std::wcslen(drive) + 1) {
    std::string root = Utf8FromUtf16(std::u16string(drive, drive + std::wcslen(drive)));
    for (char& c : root)
      if (c == '\\') c = '/';
    roots.push_back(std::move(root));
  }
  return roots;
}

}  // namespace kelvane

#endif
