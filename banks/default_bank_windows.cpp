// The running process's places on Windows: the directory calls and the
// DirectMusic registry value.
#if defined(_WIN32)

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <vector>

#include "banks/default_bank.h"
#include "banks/file_path.h"
#include "banks/stream.h"
#include "synth/synth.h"

namespace kelvane {

namespace {

constexpr DWORD PathChars = 8194 / sizeof(wchar_t);

std::string Utf8(const wchar_t* Text, int Length) {
  if (Length <= 0) return {};
  return Utf8FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(Text), static_cast<size_t>(Length)));
}

// The directory calls return the length written, 0 on failure, or the size
// needed when the buffer is too small (then nothing was written).
template <typename TCall>
std::string DirectoryFrom(TCall Call) {
  std::vector<wchar_t> buffer(PathChars, L'\0');
  const UINT length = Call(buffer.data(), PathChars);
  if (length == 0 || length >= PathChars) return {};
  return Utf8(buffer.data(), static_cast<int>(length));
}

}  // namespace

std::string TSystemDefaultBankPlaces::CurrentDirectory() {
  return DirectoryFrom([](wchar_t* Buffer, DWORD Size) { return static_cast<UINT>(GetCurrentDirectoryW(Size, Buffer)); });
}

std::string TSystemDefaultBankPlaces::WindowsDirectory() {
  return DirectoryFrom([](wchar_t* Buffer, DWORD Size) { return GetWindowsDirectoryW(Buffer, Size); });
}

std::string TSystemDefaultBankPlaces::SystemDirectory() {
  return DirectoryFrom([](wchar_t* Buffer, DWORD Size) { return GetSystemDirectoryW(Buffer, Size); });
}

std::string TSystemDefaultBankPlaces::ExecutableDirectory() {
  std::vector<wchar_t> buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  // Up to and including the last separator.
  DWORD end = length;
  while (end > 0 && buffer[end - 1] != L'\\' && buffer[end - 1] != L'/' && buffer[end - 1] != L':') end--;
  return Utf8(buffer.data(), static_cast<int>(end));
}

bool TSystemDefaultBankPlaces::FileExists(const std::string& Path) {
  std::filesystem::path path;
  try {
    path = FileSystemPath(Path);
  } catch (const EKelvaneStreamError&) {
    return false;  // no file has a name that is not UTF-8
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::optional<std::string> TSystemDefaultBankPlaces::DirectMusicGMFilePath() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\DirectMusic", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return std::nullopt;
  std::optional<std::string> result;
  DWORD type = 0;
  std::vector<wchar_t> buffer(PathChars + 1, L'\0');
  DWORD bytes = PathChars * sizeof(wchar_t);
  if (RegQueryValueExW(key, L"GMFilePath", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes) ==
          ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    // The stored string need not end in a terminator; the buffer has room for one.
    size_t length = bytes / sizeof(wchar_t);
    while (length > 0 && buffer[length - 1] == L'\0') length--;
    result = Utf8(buffer.data(), static_cast<int>(length));
  }
  RegCloseKey(key);
  return result;
}

bool TSynth::LoadDefaultSoundFont(bool DelayLoadSamples) {
  TSystemDefaultBankPlaces places;
  return LoadDefaultSoundFont(DelayLoadSamples, places);
}

}  // namespace kelvane

#endif
