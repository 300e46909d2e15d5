// SPDX-License-Identifier: GPL-3.0-or-later
// Undelivered-mail patterns (UnDelivery.txt): pairs of lines, a marker that
// identifies a delivery-failure notice and "open,close" around the failed
// address.
#pragma once

#include <string>
#include <vector>

#include "textio/file_system.h"

namespace kelmora {

struct UnDeliveryPattern {
  std::string Marker;
  std::string AddressOpen;
  std::string AddressClose;
};

// Fills *patterns (in file order, no placeholder) and returns 0 loaded,
// 2 no significant line, 3 odd number of lines, 4 an even line without
// exactly one ",", 1 file not found, -1 any other failure.
int LoadUnDeliveryPatterns(const FileSystem& fs, const std::string& path,
                           std::vector<UnDeliveryPattern>* patterns);

// The start-up message for a non-zero result ("" for 0).
std::string UnDeliveryLoadMessage(int result);

}  // namespace kelmora
