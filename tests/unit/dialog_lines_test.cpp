// SPDX-License-Identifier: GPL-3.0-or-later
// What the server says while libcurl connects comes in chunks cut
// anywhere: the sessions must see the same lines however it was cut.
#include "net/dialog_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelmora {
namespace {

TEST(DialogLinesTest, LinesAreWholeWhereverTheChunksAreCut) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
  };
  const std::string long_line(60000, 'y');
  const std::string endless(70000, 'x');
  const Case cases[] = {
      {"one chunk", {"220 hi\r\n250 ok\r\n"}, {"220 hi", "250 ok"}},
      {"cut inside a line", {"220 h", "i\r\n25", "0 ok\r\n"}, {"220 hi", "250 ok"}},
      {"cut between CR and LF", {"+OK ready\r", "\n-ERR no\r", "\n"}, {"+OK ready", "-ERR no"}},
      {"bare LF and an empty line", {"a\n\r\nb\n"}, {"a", "", "b"}},
      {"unfinished line waits", {"250-PIPE", "LINING"}, {}},
      {"a long line in two chunks", {long_line, "z\r\n"}, {long_line + "z"}},
      // What came before its end is gone; the end itself still ends a line.
      {"a line past 64 KiB is dropped", {endless, "\r\n250 ok\r\n"}, {"", "250 ok"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DialogLines lines;
    std::vector<std::string> seen;
    for (const std::string& chunk : c.chunks) lines.Take(chunk, [&seen](std::string& line) { seen.push_back(line); });
    EXPECT_EQ(seen, c.lines);
  }
}

}  // namespace
}  // namespace kelmora
