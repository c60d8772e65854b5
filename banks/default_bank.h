#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelvane {

// The system facts the default-bank search reads, behind virtual methods so a
// platform can add its own rules and tests can fake them.
class TDefaultBankPlaces {
 public:
  virtual ~TDefaultBankPlaces() = default;

  virtual std::string CurrentDirectory() = 0;
  virtual std::string ExecutableDirectory() = 0;  // of the running program; empty when unknown
  virtual std::optional<std::string> Environment(const std::string& Name) = 0;
  virtual bool FileExists(const std::string& Path) = 0;  // a regular file (links followed)

  // Every place searched, in order: the list below unless the platform's own
  // rules replace it.
  virtual std::vector<std::string> Candidates();
};

// The Windows rules: "gm.dls" and "gm.sf2" in the current directory and next
// to the host executable, the DirectMusic registry value, then the drivers
// folder. Paths are UTF-8.
class TWindowsDefaultBankPlaces : public TDefaultBankPlaces {
 public:
  virtual std::string WindowsDirectory() = 0;
  virtual std::string SystemDirectory() = 0;
  // GMFilePath of HKEY_LOCAL_MACHINE\Software\Microsoft\DirectMusic, unexpanded;
  // none when the key does not open or the value cannot be read.
  virtual std::optional<std::string> DirectMusicGMFilePath() = 0;

  std::optional<std::string> Environment(const std::string&) override { return std::nullopt; }
  std::vector<std::string> Candidates() override;
};

#if defined(_WIN32)
// The running process's view through the Win32 directory and registry calls.
class TSystemDefaultBankPlaces final : public TWindowsDefaultBankPlaces {
 public:
  std::string CurrentDirectory() override;
  std::string ExecutableDirectory() override;  // of the host process's executable
  bool FileExists(const std::string& Path) override;
  std::string WindowsDirectory() override;
  std::string SystemDirectory() override;
  std::optional<std::string> DirectMusicGMFilePath() override;
};
#else
// The running process's view: working directory, /proc/self/exe, getenv and stat.
class TSystemDefaultBankPlaces final : public TDefaultBankPlaces {
 public:
  std::string CurrentDirectory() override;
  std::string ExecutableDirectory() override;
  std::optional<std::string> Environment(const std::string& Name) override;
  bool FileExists(const std::string& Path) override;
};
#endif

// Environment variable naming a bank that takes precedence over the sound-font folders.
inline constexpr const char* DefaultBankEnvironmentVariable = "KELVANE_DEFAULT_BANK";

// Every place searched, in order, without duplicates: "gm.dls" and "gm.sf2" in
// the current and the executable's directory, the environment variable, the
// user's sound-font folders, the system's, then the fixed paths of the
// distributions' General MIDI banks.
std::vector<std::string> DefaultBankCandidates(TDefaultBankPlaces& Places);

// The Windows rules in order (the first candidate is "gm.dls" relative to the
// current directory); the registry value is left out when it cannot be read.
std::vector<std::string> WindowsDefaultBankCandidates(TWindowsDefaultBankPlaces& Places);

// Expands the placeholders %SYSTEMROOT% and %WINDIR% (the Windows directory),
// %SYSTEMDRIVE% (its drive, the first two characters) and %SYSTEMDIRECTORY%
// (the system directory), case-insensitively, each applied to the result of
// the one before.
std::string ExpandGMFilePath(std::string Value, const std::string& WindowsDirectory,
                             const std::string& SystemDirectory);

// The first of Places.Candidates() that exists; empty when none does.
std::string FindDefaultBank(TDefaultBankPlaces& Places);

}  // namespace kelvane
