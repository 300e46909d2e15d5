// SPDX-License-Identifier: GPL-3.0-or-later
// Undelivered-mail patterns (UnDelivery.txt): pairs of lines, a marker that
// identifies a delivery-failure notice and "open,close" around the failed
// address.
#pragma once

#include <string>
#include <vector>

#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

struct UnDeliveryPattern {
  std::string Marker;
  std::string AddressOpen;
  std::string AddressClose;
};

// Fills *patterns (in file order, no placeholder). A failure's message is
// the start-up message: Corrupt for no significant line, an odd number of
// lines or an even line without exactly one ","; NotFound for a missing
// file; any other failure for one that cannot be read.
Status LoadUnDeliveryPatterns(const FileSystem& fs, const std::string& path,
                              std::vector<UnDeliveryPattern>* patterns);

}  // namespace kelmora
