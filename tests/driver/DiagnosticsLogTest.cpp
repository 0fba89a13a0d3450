// The opt-in diagnostics log: on only while its file exists, lines with time
// and thread, a size limit that keeps the latest whole lines.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "driver/DiagnosticsLog.h"

namespace {

std::string TempPath(const char* name) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return std::string(folder) + "vorod-log-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(DiagnosticsLogTest, PastItsLimitTheFileKeepsItsLatestWholeLines) {
  const std::string path = TempPath("cut.log");
  CDiagnosticsLog log(path, 4000, 1000);
  DeleteFileA(path.c_str());
  EXPECT_FALSE(log.Refresh());
  log.Write("not written");
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));

  std::ofstream(path, std::ios::binary).close();
  ASSERT_TRUE(log.Refresh());
  for (int i = 0; i < 200; ++i) log.Write("line %d", i);
  const std::string text = ReadFile(path);
  EXPECT_LE(text.size(), 4000u + 100u);
  EXPECT_EQ(0u, text.find("(earlier lines cut")) << text.substr(0, 100);
  const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} +(\d+)  line (\d+)\r)");
  std::smatch match;
  const std::string last = text.substr(text.rfind('\n', text.size() - 2) + 1);
  ASSERT_TRUE(std::regex_search(last, match, line)) << last;
  EXPECT_EQ(std::to_string(GetCurrentThreadId()), match[1].str());
  EXPECT_EQ("199", match[2].str());
  // Every kept line is whole.
  size_t lines = 0;
  for (size_t at = text.find('\n') + 1; at < text.size(); at = text.find('\n', at) + 1, ++lines)
    EXPECT_TRUE(std::regex_search(text.substr(at, text.find('\n', at) + 1 - at), line));
  EXPECT_GT(lines, 5u);
  DeleteFileA(path.c_str());
}

}  // namespace
