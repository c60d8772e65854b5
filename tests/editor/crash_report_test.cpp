#include "editor/crash_report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "plugin/exception_report.h"

namespace kelvane {
namespace {

TEST(CrashReport, EighteenLinesEvenWithEmptyMessageAndNoTrace) {
  const auto lines = BuildCrashReportLines("EKelvaneStreamError", "", "");
  ASSERT_EQ(lines.size(), 17u);  // entry 17, the trace, holds no line
  const std::vector<std::string> expected = {
      CrashReportSeparator, "", "Exception class:", "", "EKelvaneStreamError", "", CrashReportSeparator, "",
      "Exception message:", "", "", "", CrashReportSeparator, "", "Exception stack trace:", "", ""};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(std::string(CrashReportSeparator), std::string(62, '='));

  const auto traced = BuildCrashReportLines("C", "m", "#0 a\r\n#1 b");
  ASSERT_EQ(traced.size(), 19u);
  EXPECT_EQ(traced[16], "#0 a");
  EXPECT_EQ(traced[17], "#1 b");
  EXPECT_EQ(traced[18], "");
  EXPECT_EQ(ExceptionClassName(std::runtime_error("x")), "std::runtime_error");
}

TEST(CrashReport, FileEncodings) {
  const std::vector<std::string> lines = {"A\xC3\xA9\xF0\x9F\x8E\xB9", "\xFFz"};
  const std::string utf8 = EncodeCrashReportFile(lines, TTextEncoding::UTF8);
  EXPECT_EQ(utf8, "\xEF\xBB\xBF" + SaveRequestLine() + "\r\n\r\nA\xC3\xA9\xF0\x9F\x8E\xB9\r\n\xFFz\r\n");

  const std::string utf16 = EncodeCrashReportFile(lines, TTextEncoding::UTF16);
  std::string tail;  // the two report lines
  for (uint16_t unit : {0x41, 0xE9, 0xD83C, 0xDFB9, 0x0D, 0x0A, 0xFFFD, 0x7A, 0x0D, 0x0A}) {
    tail.push_back(static_cast<char>(unit & 0xFF));
    tail.push_back(static_cast<char>(unit >> 8));
  }
  ASSERT_GE(utf16.size(), tail.size() + 2);
  EXPECT_EQ(utf16.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(utf16.substr(utf16.size() - tail.size()), tail);
  // Every ASCII character of the request line and the empty line: two bytes each.
  EXPECT_EQ(utf16.size(), 2 + 2 * (SaveRequestLine().size() + 4) + tail.size());
}

TEST(CrashReport, SaveNeedsConfirmationAndWritesTheChosenEncoding) {
  const std::string path = ::testing::TempDir() + "kelvane_crash_report.txt";
  std::remove(path.c_str());
  TFormException form;
  form.Lines = BuildCrashReportLines("C", "message", "");
  std::string question, info;
  bool yes = false;
  form.Confirm = [&](const std::string& q) { question = q; return yes; };
  form.RunSaveDialog = [&](std::string& p, TTextEncoding& e) { p = path; e = TTextEncoding::UTF16; return true; };
  form.ShowInformation = [&](const std::string& text) { info = text; };

  EXPECT_FALSE(form.Save());
  EXPECT_EQ(question, SaveReportQuestion);
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_TRUE(info.empty());

  yes = true;
  EXPECT_TRUE(form.Save());
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, EncodeCrashReportFile(form.Lines, TTextEncoding::UTF16));
  EXPECT_EQ(info, ThankYouText());
  std::remove(path.c_str());

  // A path that cannot be written is reported, not thanked for.
  form.RunSaveDialog = [&](std::string& p, TTextEncoding&) { p = "/nonexistent/dir/report.txt"; return true; };
  EXPECT_FALSE(form.Save());
  EXPECT_NE(info, ThankYouText());
}

TEST(CrashReport, ReportsFromOtherThreadsAreQueuedOnlyWhileAWindowIsOpen) {
  InstallCrashReportHandler();
  TExceptionHandler& handler = TExceptionHandler::Instance();
  std::vector<std::string> lines;
  while (handler.TakePending(lines)) {}

  DoHandleException(std::runtime_error("no window"));  // goes to stderr
  EXPECT_EQ(handler.PendingCount(), 0u);

  handler.AttachWindow();
  std::thread audio([] { DoHandleException(std::logic_error("from the audio thread")); });
  audio.join();
  ASSERT_TRUE(handler.TakePending(lines));
  EXPECT_EQ(lines[4], "std::logic_error");
  EXPECT_EQ(lines[10], "from the audio thread");
  EXPECT_FALSE(handler.TakePending(lines));
  handler.DetachWindow();
  SetExceptionReportSink(nullptr);
}

}  // namespace
}  // namespace kelvane
