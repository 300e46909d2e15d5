// SPDX-License-Identifier: GPL-3.0-or-later
// One-time process-wide initialisation of libcurl and GMime. Safe to call
// any number of times; the libraries stay initialised until exit.
#pragma once

namespace kelmora {

void EnsureMailLibrariesInitialized();

}  // namespace kelmora
