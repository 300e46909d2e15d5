// SPDX-License-Identifier: GPL-3.0-or-later
// Prints the figures of the start-up and data-file paths:
//   start-up with 500 rules and 200 address files of 10,000 members each;
//   10,000 main-log entries appended to a 50 MB log;
//   AddMember on a 10,000-member file.
// Usage: startup_bench [work-folder]   (default: a fresh folder in /tmp)
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/core/program.h"
#include "tests/support/silent_front_end.h"
#include "tests/support/test_roads.h"
#include "config/address_file.h"
#include "log/logger.h"
#include "textio/clock.h"
#include "textio/file_system.h"

using namespace kelmora;
using Clk = std::chrono::steady_clock;

namespace {

double Ms(Clk::time_point a, Clk::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

void WriteMembers(const std::filesystem::path& p, int n, int seed) {
  std::ofstream out(p, std::ios::binary);
  for (int i = 1; i <= n; ++i) {
    out << i << ",member" << seed << "-" << i << "@example.test,pw" << i << ",2026/12/07-09:00\r\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string base;
  if (argc > 1) {
    base = argv[1];
    std::filesystem::create_directories(base);
  } else {
    char tmpl[] = "/tmp/kelmora-bench-XXXXXX";
    base = mkdtemp(tmpl);
  }
  RealFileSystem disk;
  SystemClock clock;

  // --- start-up ---
  const std::filesystem::path folder = std::filesystem::path(base) / "startup";
  std::filesystem::create_directories(folder);
  {
    std::ofstream master(folder / "Master.txt", std::ios::binary);
    for (int r = 1; r <= 500; ++r) {
      master << r << ",list" << r << "@example.test,sender" << r << "@example.test,kw" << r << ",members"
             << (r % 200) << ".txt\r\n";
    }
  }
  for (int f = 0; f < 200; ++f) WriteMembers(folder / ("members" + std::to_string(f) + ".txt"), 10000, f);
  {
    SilentFrontEnd front;
    TestRoads roads;
    auto made = roads.Make(disk, clock, front, folder.string());
    Program& program = *made;
    auto t0 = Clk::now();
    Status s = program.Start("");
    auto t1 = Clk::now();
    if (!s.ok()) {
      std::fprintf(stderr, "start-up failed: %s\n", s.message().c_str());
      return 1;
    }
    std::printf("start-up, 500 rules, 200 address files x 10,000 members: %.1f ms (%d lists, %d slots)\n",
                Ms(t0, t1), static_cast<int>(program.members().lists.size()), program.members().slot_count);
  }

  // --- main log ---
  const std::filesystem::path logdir = std::filesystem::path(base) / "logbench";
  std::filesystem::create_directories(logdir / "log");
  {
    std::ofstream big(logdir / "log" / "Kelmoralog.txt", std::ios::binary);
    std::string line = "RcvMailの戻り値異常<pop.example.test>:connection refused at 20261207-090000\r\n";
    std::string cp;
    for (size_t written = 0; written < 50u * 1024 * 1024; written += line.size()) big << line;
  }
  Logger logger(disk, clock, logdir.string());
  const int kEntries = 10000;
  auto t_first0 = Clk::now();
  for (int i = 0; i < 100; ++i) logger.WriteLog("bench entry " + std::to_string(i));
  auto t_first1 = Clk::now();
  for (int i = 100; i < kEntries - 100; ++i) logger.WriteLog("bench entry " + std::to_string(i));
  auto t_last0 = Clk::now();
  for (int i = kEntries - 100; i < kEntries; ++i) logger.WriteLog("bench entry " + std::to_string(i));
  auto t_last1 = Clk::now();
  std::printf("WriteLog into a 50 MB log: %.1f us/entry for the first 100, %.1f us/entry for the last 100, "
              "%.0f ms for %d entries\n",
              Ms(t_first0, t_first1) * 10.0, Ms(t_last0, t_last1) * 10.0, Ms(t_first0, t_last1), kEntries);

  // --- AddMember ---
  const std::filesystem::path members = std::filesystem::path(base) / "add-members.txt";
  WriteMembers(members, 10000, 999);
  const int kAdds = 20;
  auto t_add0 = Clk::now();
  for (int i = 0; i < kAdds; ++i) {
    const int r = static_cast<int>(
        AddMember(disk, clock, members.string(), "new" + std::to_string(i) + "@example.test", "secret"));
    if (r != 0) {
      std::fprintf(stderr, "AddMember failed with %d\n", r);
      return 1;
    }
  }
  auto t_add1 = Clk::now();
  std::printf("AddMember on a 10,000-member file: %.2f ms per call (durable rewrite)\n", Ms(t_add0, t_add1) / kAdds);

  if (argc <= 1) std::filesystem::remove_all(base);
  return 0;
}
