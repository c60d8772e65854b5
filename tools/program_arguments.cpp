#include "tools/program_arguments.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "banks/file_path.h"
#endif

namespace kelvane {

TProgramArguments::TProgramArguments(int argc, char** argv) {
#if defined(_WIN32)
  int count = 0;
  if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; i++)
      fValues.push_back(Utf8FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(wide[i]), std::wcslen(wide[i]))));
    LocalFree(wide);
  }
  SetConsoleOutputCP(CP_UTF8);
  if (fValues.empty()) fValues.assign(argv, argv + argc);
#else
  fValues.assign(argv, argv + argc);
#endif
  for (std::string& value : fValues) fPointers.push_back(value.data());
  fPointers.push_back(nullptr);
}

}  // namespace kelvane
