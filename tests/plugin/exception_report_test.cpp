#include "plugin/exception_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace kelvane {
namespace {

namespace fs = std::filesystem;

// Sets environment variables for one test and restores them afterwards.
class TEnvironment {
 public:
  void Set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    Saved.push_back({name, old != nullptr, old != nullptr ? old : ""});
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~TEnvironment() {
    for (auto it = Saved.rbegin(); it != Saved.rend(); ++it) {
      if (it->Present)
        setenv(it->Name.c_str(), it->Value.c_str(), 1);
      else
        unsetenv(it->Name.c_str());
    }
  }

 private:
  struct TSaved {
    std::string Name;
    bool Present;
    std::string Value;
  };
  std::vector<TSaved> Saved;
};

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

fs::path FreshDirectory(const char* name) {
  const fs::path dir = fs::path(KELVANE_BINARY_DIR) / "exception_report_test" / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

TEST(ExceptionReport, PathFollowsTheStateDirectoryRules) {
  struct TCase {
    const char* XDGStateHome;
    const char* Home;
    const char* Expected;
  } cases[] = {
      {"/state", "/home/u", "/state/kelvane/crash-report.txt"},
      {nullptr, "/home/u", "/home/u/.local/state/kelvane/crash-report.txt"},
      {"", "/home/u", "/home/u/.local/state/kelvane/crash-report.txt"},
      {"relative/dir", "/home/u", "/home/u/.local/state/kelvane/crash-report.txt"},
      {nullptr, nullptr, ""},
      {nullptr, "relative", ""},
  };
  for (const TCase& c : cases) {
    TEnvironment environment;
    environment.Set("XDG_STATE_HOME", c.XDGStateHome);
    environment.Set("HOME", c.Home);
    EXPECT_EQ(ExceptionReportPath(), fs::path(c.Expected))
        << (c.XDGStateHome ? c.XDGStateHome : "(unset)") << " " << (c.Home ? c.Home : "(unset)");
  }
}

TEST(ExceptionReport, ReportsAreAppendedToTheReportFile) {
  const fs::path state = FreshDirectory("append");
  TEnvironment environment;
  environment.Set("XDG_STATE_HOME", state.c_str());

  DoHandleException(std::runtime_error("first failure"));
  DoHandleUnknownException();
  DoHandleException(std::length_error("second failure"));

  const std::string text = ReadText(state / "kelvane" / "crash-report.txt");
  const size_t first = text.find("Kelvane: exception: first failure\n");
  const size_t unknown = text.find("Kelvane: exception: unknown exception object\n");
  const size_t second = text.find("Kelvane: exception: second failure\n");
  ASSERT_NE(first, std::string::npos) << text;
  ASSERT_NE(unknown, std::string::npos) << text;
  ASSERT_NE(second, std::string::npos) << text;
  EXPECT_LT(first, unknown);
  EXPECT_LT(unknown, second);
  // One line per report, each starting with a UTC time stamp.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  EXPECT_EQ(text[4], '-');
  EXPECT_EQ(text[19], 'Z');
}

TEST(ExceptionReport, AnUnwritableStateDirectoryFallsBackWithoutThrowing) {
  const fs::path state = FreshDirectory("blocked");
  // A plain file where the kelvane directory should be.
  std::ofstream(state / "kelvane") << "not a directory";
  TEnvironment environment;
  environment.Set("XDG_STATE_HOME", state.c_str());

  const std::string marker = "fallback report " + std::to_string(getpid()) + " " +
                             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  EXPECT_NO_THROW(DoHandleException(std::runtime_error(marker)));
  EXPECT_NE(ReadText(FallbackExceptionReportPath()).find(marker), std::string::npos);
}

}  // namespace
}  // namespace kelvane
