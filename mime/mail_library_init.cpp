// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/mail_library_init.h"

#include <curl/curl.h>
#include <gmime/gmime.h>

#include <mutex>

namespace kelmora {

void EnsureMailLibrariesInitialized() {
  static std::once_flag once;
  std::call_once(once, [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    g_mime_init();
  });
}

}  // namespace kelmora
