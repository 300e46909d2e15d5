// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/delivery_report.h"

#include <gmime/gmime.h>

#include "mime/mime_util.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// The field's value without a trailing comment: "failed (bad mailbox)".
std::string FirstWord(std::string_view value) {
  std::string v = Trim(value);
  const size_t end = v.find_first_of(" \t(;");
  return AsciiLower(end == std::string::npos ? v : v.substr(0, end));
}

// "rfc822; <a@b>" -> "a@b"; "" when the value holds no address.
std::string AddressOf(std::string_view value) {
  std::string v(value);
  const size_t semicolon = v.find(';');
  if (semicolon != std::string::npos) v = v.substr(semicolon + 1);
  v = Trim(v);
  const size_t open = v.find('<');
  if (open != std::string::npos) {
    const size_t close = v.find('>', open);
    v = v.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
  }
  const size_t blank = v.find_first_of(" \t(");
  if (blank != std::string::npos) v.resize(blank);
  return v.find('@') == std::string::npos ? "" : v;
}

// The text of the part's content, transfer encoding undone.
std::string LeafContent(GMimePart* part) {
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  if (wrapper == nullptr) return "";
  GByteArray* array = g_byte_array_new();
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(array));  // owns array
  g_mime_data_wrapper_write_to_stream(wrapper, stream.get());
  return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

bool IsStatusType(GMimeObject* object) {
  GMimeContentType* type = g_mime_object_get_content_type(object);
  return type != nullptr && (g_mime_content_type_is_type(type, "message", "delivery-status") ||
                             g_mime_content_type_is_type(type, "message", "global-delivery-status"));
}

std::string FindStatus(GMimeObject* object, int depth) {
  if (object == nullptr || depth > 8) return "";
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    const int n = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < n; ++i) {
      std::string found = FindStatus(g_mime_multipart_get_part(multipart, i), depth + 1);
      if (!found.empty()) return found;
    }
    return "";
  }
  if (GMIME_IS_PART(object) && IsStatusType(object)) return LeafContent(GMIME_PART(object));
  return "";
}

}  // namespace

bool ReportedRecipient::Failed() const {
  if (action == "failed") return true;
  if (action == "delayed" || action == "delivered" || action == "relayed" || action == "expanded") return false;
  return StartsWith(status, "5.");
}

std::vector<ReportedRecipient> ParseDeliveryStatus(std::string_view text) {
  std::vector<ReportedRecipient> out;
  ReportedRecipient group;
  std::string original;  // Original-Recipient, used when Final-Recipient is missing
  std::string field;     // the field being read, unfolded
  auto take_field = [&] {
    const size_t colon = field.find(':');
    if (colon != std::string::npos) {
      const std::string name = AsciiLower(Trim(field.substr(0, colon)));
      const std::string value = field.substr(colon + 1);
      if (name == "final-recipient") group.address = AddressOf(value);
      if (name == "original-recipient") original = AddressOf(value);
      if (name == "action") group.action = FirstWord(value);
      if (name == "status") group.status = FirstWord(value);
    }
    field.clear();
  };
  auto end_group = [&] {
    take_field();
    if (group.address.empty()) group.address = original;
    if (!group.address.empty()) out.push_back(group);
    group = ReportedRecipient();
    original.clear();
  };
  size_t start = 0;
  while (start <= text.size()) {
    size_t lf = text.find('\n', start);
    std::string_view line = text.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (Trim(line).empty()) {
      end_group();
    } else if ((line[0] == ' ' || line[0] == '\t') && !field.empty()) {
      field += " " + Trim(line);
    } else {
      take_field();
      field = std::string(line);
    }
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  end_group();
  return out;
}

std::string DeliveryStatusText(GMimeObject* message_part) { return FindStatus(message_part, 0); }

bool IsDelayNoticeSubject(std::string_view subject) {
  const std::string s = AsciiLower(Trim(subject));
  for (const char* words : {"delayed mail (still being retried)", "could not send message for past",
                            "delivery status notification (delay)", "delivery delayed"}) {
    if (Contains(s, words)) return true;
  }
  // "Warning: message 1abcDE-000Fg1-2h delayed 24 hours": one word, the
  // message's id, stands between.
  const std::string prefix = "warning: message ";
  if (!StartsWith(s, prefix)) return false;
  const size_t id_end = s.find(' ', prefix.size());
  return id_end != std::string::npos && id_end > prefix.size() && s.compare(id_end, 9, " delayed ") == 0;
}

}  // namespace kelmora
