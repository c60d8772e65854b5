#pragma once

#include <string>
#include <vector>

namespace kelvane {

// The command line as UTF-8, in argv form for getopt. Windows hands a program
// its narrow arguments in the ANSI code page, so there the wide command line is
// converted instead, and the console is set to show UTF-8 output.
class TProgramArguments {
 public:
  TProgramArguments(int argc, char** argv);
  TProgramArguments(const TProgramArguments&) = delete;
  TProgramArguments& operator=(const TProgramArguments&) = delete;

  int Count() const { return static_cast<int>(fValues.size()); }
  char** Values() { return fPointers.data(); }  // ends with nullptr, like argv
  const std::vector<std::string>& Strings() const { return fValues; }

 private:
  std::vector<std::string> fValues;
  std::vector<char*> fPointers;
};

}  // namespace kelvane
