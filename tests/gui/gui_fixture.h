// SPDX-License-Identifier: GPL-3.0-or-later
// GuiWorld: a started Program on a temporary program folder, shown through
// the window front end, with a local store that delivers on demand and a
// processor whose work each test scripts. The data files are code page 932
// with CR LF, as on the user's disk:
//
//   row 1: one-by-one forwarding to data/list.txt (five members)
//   row 2: a list post to club.txt (one member, so four empty slots)
//   row 3: a delete rule without destination list
#pragma once

#include <QApplication>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/core/program.h"
#include "app/gui/main_window.h"
#include "app/gui/window_front_end.h"
#include "tests/unit/temp_folder.h"
#include "textio/clock.h"
#include "tests/support/fake_local_reception.h"
#include "tests/support/fixed_clock.h"
#include "tests/support/test_roads.h"
#include "textio/codepage.h"
#include "textio/file_system.h"

namespace kelmora::gui_test {

inline const char* const kMaster =
    "1,list@example.test,,hello,data/list.txt,list@example.test,127.0.0.1,,Title here,From ＠＠,-- end,,"
    "ＴＯ転送,,,\r\n"
    "2,club@example.test,,[club],club.txt,club@example.test,127.0.0.1,,,,,,,,\r\n"
    "3,spam@example.test,,spam,,,,,,,,削除,,,,\r\n";

inline const char* const kIni =
    "u,secret,20,0,0,0,1,0,9,10,pop.example.test/alice/pw1,pop2.example.test/bob/pw2\r\n7,41,0\r\n";

class ScriptedProcessor : public MessageProcessor {
 public:
  void ProcessMessages(Inbox&) override {
    ++calls;
    if (work) work();
  }
  int calls = 0;
  std::function<void()> work;
};

class GuiWorld {
 public:
  // The scripted processors below run inside the cycle and reach into
  // the window, so the cycle runs on the window thread unless a test asks
  // for the cycle thread.
  explicit GuiWorld(bool cycle_thread = false) {
    front.set_cycle_thread(cycle_thread);
    std::filesystem::create_directory(dir.File("data"));
    Write("Master.txt", kMaster);
    Write("data/list.txt",
          "; members\r\n1,a@example.test,pw,x\r\n2,b@example.test,pw,x\r\n3,c@example.test,pw,x\r\n"
          "4,d@example.test,pw,x\r\n5,e@example.test,pw,x\r\n");
    Write("club.txt", "1,solo@example.test,pw,x\r\n");
    Write("Kelmora.ini", kIni);
  }
  ~GuiWorld() {
    front.Detach();
    program.reset();
  }

  void Write(const std::string& name, const std::string& utf8) {
    std::ofstream(dir.File(name), std::ios::binary) << Utf8ToCp932(utf8);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir.File(name), std::ios::binary);
    return Cp932ToUtf8(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  }

  // Starts the program and opens the windows (the main one minimised).
  bool Start(const std::string& delay = "") {
    roads.local = &local;
    roads.processor = &processor;
    program = roads.Make(disk, clock, front, dir.path(), /*no_wait=*/true, example);
    Status s = program->Start(delay);
    if (!s.ok()) {
      qWarning("start-up failed: %s", s.message().c_str());
      return false;
    }
    front.Attach(*program);
    Settle();
    return true;
  }

  // Opens the window and lets the window system's own report of the new
  // state arrive, as it would before a user could click anything.
  void Restore() {
    front.Restore();
    Settle();
  }
  static void Settle() { QTest::qWait(20); }
  // Clicks a check box on its box: a wide one's middle may be past its text,
  // where a click does nothing.
  static void Tick(QWidget* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2)); }

  MainWindow& window() { return *front.main_window(); }
  template <typename T>
  T* Find(const char* name) {
    return front.main_window()->findChild<T*>(name);
  }

  TempFolder dir;
  RealFileSystem disk;
  FixedClock clock{LocalTime{2026, 12, 7, 9, 5, 3}};
  WindowFrontEnd front;
  FakeLocalReception local{1};
  ScriptedProcessor processor;
  TestRoads roads;
  std::unique_ptr<Program> program;
  std::string example;  // the bundled example a first start copies ("" none)
};

}  // namespace kelmora::gui_test
