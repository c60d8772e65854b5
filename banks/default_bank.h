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
};

// The running process's view: working directory, /proc/self/exe, getenv and stat.
class TSystemDefaultBankPlaces final : public TDefaultBankPlaces {
 public:
  std::string CurrentDirectory() override;
  std::string ExecutableDirectory() override;
  std::optional<std::string> Environment(const std::string& Name) override;
  bool FileExists(const std::string& Path) override;
};

// Environment variable naming a bank that takes precedence over the sound-font folders.
inline constexpr const char* DefaultBankEnvironmentVariable = "KELVANE_DEFAULT_BANK";

// Every place searched, in order, without duplicates: "gm.dls" and "gm.sf2" in
// the current and the executable's directory, the environment variable, the
// user's sound-font folders, the system's, then the fixed paths of the
// distributions' General MIDI banks.
std::vector<std::string> DefaultBankCandidates(TDefaultBankPlaces& Places);

// The first candidate that exists; empty when none does.
std::string FindDefaultBank(TDefaultBankPlaces& Places);

}  // namespace kelvane
