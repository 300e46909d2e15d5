// SPDX-License-Identifier: GPL-3.0-or-later
// TempFolder: a real folder under /tmp for tests, removed with everything
// in it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace kelmora {

class TempFolder {
 public:
  TempFolder() {
    char tmpl[] = "/tmp/kelmora-test-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    path_ = made ? made : "";
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace kelmora
