// SPDX-License-Identifier: GPL-3.0-or-later
// Where an installed Kelmora keeps its files, its first start with the
// bundled example, what start-up leaves behind when it fails, and which log
// entries count as failures.
#include <gtest/gtest.h>

#include "app/core/command_line.h"
#include "app/core/exit_status.h"
#include "app/core/program.h"
#include "app/core/program_folder.h"
#include "tests/support/fixed_clock.h"
#include "tests/support/silent_front_end.h"
#include "tests/support/test_roads.h"
#include "tests/unit/fake_file_system.h"
#include "textio/codepage.h"

namespace kelmora {
namespace {

TEST(ProgramFolderTest, TheExecutablesFolderServesOnlyWhenItIsNotAnInstallation) {
  struct Case {
    const char* exe_folder;
    bool writable;
    bool installed_layout;
    bool serves;
  } cases[] = {
      {"/home/u/kelmora/build", true, false, true},   // a build tree
      {"/usr/bin", true, false, false},                // root may write there
      {"/usr/local/bin", true, false, false},
      {"/usr", true, false, false},
      {"/usrdata/kelmora", true, false, true},         // not under /usr
      {"/opt/kelmora/bin", false, false, false},       // a user may not write there
      {"/home/u/.local/bin", true, true, false},       // beside share/kelmora: installed
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExecutableFolderServes(c.exe_folder, c.writable, c.installed_layout), c.serves) << c.exe_folder;
  }
  EXPECT_EQ(HomeProgramFolder("/home/u"), "/home/u/Kelmora");
}

TEST(ProgramFolderTest, TheBundledExampleIsFoundFromBothProgramsOfAnInstallation) {
  FakeFileSystem disk;
  disk.AddFile("/opt/k/share/kelmora/examples/club/Master.txt", "1,a@b,c,d,e\r\n");
  EXPECT_EQ(FindBundledExample(disk, "/opt/k/bin"), "/opt/k/share/kelmora/examples/club");
  EXPECT_EQ(FindBundledExample(disk, "/opt/k/libexec/kelmora"), "/opt/k/share/kelmora/examples/club");
  EXPECT_EQ(FindBundledExample(disk, "/opt/k/libexec/other"), "") << "only the window program's own folder";
  EXPECT_EQ(FindBundledExample(disk, "/home/u/build"), "");
  disk.Erase("/opt/k/share/kelmora/examples/club/Master.txt");
  disk.AddFile("/opt/k/share/kelmora/examples/club/README.txt", "x");
  EXPECT_EQ(FindBundledExample(disk, "/opt/k/bin"), "") << "a folder without a rule table is no example";
}

// A folder named on the command line must exist as a whole (a link to it
// counts as the folder it leads to); the executable's folder comes from the
// kernel's link, "." when that cannot be read.
TEST(ProgramFolderTest, ANamedFolderIsResolvedAndAMissingOneRefused) {
  struct Case {
    const char* dir;
    const char* folder;  // "" when refused
  } cases[] = {
      {"/srv/club", "/srv/club"},
      {"/srv/./club/", "/srv/club"},
      {"/home/u/club", "/srv/club"},  // a link
      {"/srv/missing", ""},
      {"/home/u/gone", ""},  // a link that leads nowhere
      {"/srv/broken", ""},   // the disk fails while resolving
  };
  for (const Case& c : cases) {
    FakeFileSystem disk;
    disk.AddDir("/srv/club");
    disk.AddDir("/srv/broken");
    disk.AddSymlink("/home/u/club", "/srv/club");
    disk.AddSymlink("/home/u/gone", "/srv/gone");
    disk.AddSymlink("/proc/self/exe", "/opt/k/bin/kelmora");
    disk.InjectFault(FakeFileSystem::kResolve, "/srv/broken");
    Placement place;
    const Status s = PlaceProgram(disk, c.dir, &place);
    if (*c.folder) {
      ASSERT_TRUE(s.ok()) << c.dir << ": " << s.message();
      EXPECT_EQ(place.folder, c.folder) << c.dir;
      EXPECT_EQ(place.exe_folder, "/opt/k/bin") << c.dir;
      EXPECT_EQ(place.example, "") << c.dir;
    } else {
      EXPECT_TRUE(s.IsNotFound()) << c.dir;
      EXPECT_EQ(s.message(), std::string("the program folder ") + c.dir + " does not exist");
    }
  }
  for (const auto& [link, folder] : std::vector<std::pair<std::string, std::string>>{
           {"/opt/k/libexec/kelmora/kelmora-window", "/opt/k/libexec/kelmora"}, {"/kelmora", "/"}, {"", "."}}) {
    FakeFileSystem disk;
    if (!link.empty()) disk.AddSymlink("/proc/self/exe", link);
    EXPECT_EQ(ExecutableFolder(disk), folder) << link;
  }
}

TEST(ProgramFolderTest, CopyingTheExampleKeepsWhatIsThereAndPutsTheRuleTableLast) {
  FakeFileSystem disk;
  const std::string example = "/share/club";
  for (const char* name : {"Master.txt", "Kelmora.ini", "members.txt", "footer.txt", ".hidden"}) {
    disk.AddFile(example + "/" + name, std::string("example ") + name);
  }
  disk.AddDir(example + "/sub");
  disk.AddFile("/home/Kelmora/Kelmora.ini", "the owner's");
  std::vector<std::string> copied;
  ASSERT_TRUE(CopyBundledExample(disk, example, "/home/Kelmora", &copied).ok());
  EXPECT_EQ(copied, (std::vector<std::string>{"footer.txt", "members.txt", "Master.txt"}));
  EXPECT_EQ(disk.Bytes("/home/Kelmora/Kelmora.ini"), "the owner's");
  EXPECT_EQ(disk.Bytes("/home/Kelmora/Master.txt"), "example Master.txt");
  EXPECT_FALSE(disk.HasFile("/home/Kelmora/.hidden"));

  // A copy cut short leaves no rule table, so the next start copies again.
  FakeFileSystem cut;
  cut.AddFile(example + "/Master.txt", "m");
  cut.AddFile(example + "/members.txt", "1,a@b.test\r\n");
  cut.AddDir("/home/Kelmora");
  cut.InjectFault(FakeFileSystem::kWrite, "/home/Kelmora/Master.txt");
  EXPECT_FALSE(CopyBundledExample(cut, example, "/home/Kelmora", &copied).ok());
  EXPECT_TRUE(cut.HasFile("/home/Kelmora/members.txt"));
  EXPECT_FALSE(HasRuleTable(cut, "/home/Kelmora"));
}

class FirstStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    disk_.AddFile("/usr/share/kelmora/examples/club/Master.txt",
                  Utf8ToCp932("1,club@example.test,members.txt,[club],members.txt,,,,[club],,,,,,,\r\n"));
    disk_.AddFile("/usr/share/kelmora/examples/club/members.txt", "1,taro@example.test,pw\r\n");
    disk_.AddFile("/usr/share/kelmora/examples/club/README.txt", "read me");
    disk_.AddDir("/home/u/Kelmora");
  }

  std::unique_ptr<Program> Make() {
    return roads_.Make(disk_, clock_, front_, "/home/u/Kelmora", false, "/usr/share/kelmora/examples/club");
  }
  std::string MainLog() { return Cp932ToUtf8(disk_.Bytes("/home/u/Kelmora/log/Kelmoralog.txt")); }

  FakeFileSystem disk_;
  FixedClock clock_{LocalTime{2026, 4, 1, 10, 0, 0}};
  SilentFrontEnd front_;
  TestRoads roads_;
};

TEST_F(FirstStartTest, AnEmptyFolderGetsTheExampleAndIsToldSoWithoutAFailure) {
  auto p = Make();
  Status s = p->Start("");
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(p->master().size(), 1u);
  EXPECT_TRUE(disk_.HasFile("/home/u/Kelmora/README.txt"));
  const std::string log = MainLog();
  EXPECT_NE(log.find("<" + std::string("/home/u/Kelmora") + ">"), std::string::npos) << log;
  EXPECT_NE(log.find("README.txt、members.txt、Master.txt"), std::string::npos) << log;
  EXPECT_EQ(p->logger().failures_logged(), 0) << "a first start is no failure";
  const std::string& box = p->first_start_message();
  EXPECT_NE(box.find("/home/u/Kelmora"), std::string::npos) << box;
  EXPECT_NE(box.find("Master.txt（ルール表"), std::string::npos) << box;

  // A folder that has its rule table gets nothing, and nothing is said.
  p.reset();
  disk_.Erase("/home/u/Kelmora/README.txt");
  auto again = Make();
  ASSERT_TRUE(again->Start("").ok());
  EXPECT_FALSE(disk_.HasFile("/home/u/Kelmora/README.txt"));
  EXPECT_EQ(again->first_start_message(), "");
}

TEST_F(FirstStartTest, AStartThatFailsLeavesNoLockAndARefusedOneTouchesNone) {
  // The example's rule table names a member file the copy could not write.
  disk_.InjectFault(FakeFileSystem::kWrite, "/home/u/Kelmora/members.txt");
  auto p = Make();
  Status s = p->Start("");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.message().rfind("Form Load Error。\nthe example /usr/share/kelmora/examples/club could not be copied", 0),
            0u) << s.message();
  EXPECT_EQ(StartupExitStatus(s), kExitStartupFault);
  EXPECT_FALSE(disk_.HasFile("/home/u/Kelmora/kelmora.lock"));
  EXPECT_FALSE(disk_.IsLocked("/home/u/Kelmora/kelmora.lock"));

  disk_.ClearFaults();
  auto first = Make();
  ASSERT_TRUE(first->Start("").ok());
  auto second = Make();
  s = second->Start("");
  EXPECT_EQ(s.message(), kSecondInstance);
  EXPECT_EQ(StartupExitStatus(s), kExitAlreadyRunning);
  EXPECT_TRUE(disk_.HasFile("/home/u/Kelmora/kelmora.lock")) << "the running copy's lock stays";
  EXPECT_TRUE(disk_.IsLocked("/home/u/Kelmora/kelmora.lock"));
}

TEST(LogFailureCountTest, OnlyFailuresAreCountedThoughNoticesAreLoggedAlike) {
  FakeFileSystem disk;
  FixedClock clock{LocalTime{2026, 4, 1, 10, 0, 0}};
  std::vector<std::string> shown;
  disk.AddDir("/p");
  Logger log(disk, clock, "/p", [&](const std::string& entry) { shown.push_back(entry); });
  ASSERT_TRUE(log.EnsureLogFolders().ok());
  log.WriteNotice("notice");
  log.WriteLog("failure");
  log.WriteNotice("notice again");
  EXPECT_EQ(log.failures_logged(), 1);
  EXPECT_EQ(Cp932ToUtf8(disk.Bytes("/p/log/Kelmoralog.txt")),
            "notice at 20260401-100000\r\nfailure at 20260401-100000\r\nnotice again at 20260401-100000\r\n");
  EXPECT_EQ(shown.size(), 3u);
}

}  // namespace
}  // namespace kelmora
