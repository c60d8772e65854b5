#pragma once

// The editor's font, registered privately with the process from the data
// built into the library, under the full name read from its own name table.
// The library registers it when it is loaded and removes it when unloaded.

#include <stdexcept>
#include <string>

namespace kelvane {

class EEmbeddedFont : public std::runtime_error {
 public:
  EEmbeddedFont() : std::runtime_error("Embedded font couldn't loaded") {}
};

class TEmbeddedFont {
 public:
  // Raises EEmbeddedFont when the system refuses the font (or the build had none).
  TEmbeddedFont();
  ~TEmbeddedFont();
  TEmbeddedFont(const TEmbeddedFont&) = delete;
  TEmbeddedFont& operator=(const TEmbeddedFont&) = delete;

  const std::string& Name() const { return fName; }

 private:
  void* fHandle = nullptr;
  std::string fName;
};

// The process's registered editor font; empty name when registration failed.
const std::string& EmbeddedFontName();
// Library load and unload. A failure is reported, never thrown.
void RegisterEmbeddedFont();
void UnregisterEmbeddedFont();

}  // namespace kelvane
