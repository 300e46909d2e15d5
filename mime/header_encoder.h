// SPDX-License-Identifier: GPL-3.0-or-later
// Encoding of header values for outgoing mail, written by hand because
// readers differ in what they accept and the MIME library's own encoder
// trims blanks, makes encoded-words longer than 75 characters and cuts
// RFC 2231 parameters inside a character.
//
// Every function takes valid UTF-8 (the composer sanitizes first) and
// returns 7-bit text. Folded values use "\r\n" followed by a blank; the
// caller writes "Name: " and then the value, and `used` tells how many
// characters of the first line "Name: " already takes.
//
// The rules the encoders keep:
//   - an encoded-word is at most 75 characters and never splits a UTF-8
//     character; a line is at most 78 characters unless a single plain word
//     is longer;
//   - base64 padding ("=") only in the last encoded-word of the value: a
//     word that another word follows holds a multiple of three bytes, or is
//     written in the Q form (one common reader stops at a padded word);
//   - leading and trailing blanks of a text and runs of blanks inside it
//     come back exactly from any RFC 2047 reader: blanks at either end are
//     carried inside an encoded-word, since readers strip blanks around a
//     header value.
#pragma once

#include <string>
#include <string_view>

namespace kelmora {

// An unstructured value (Subject). Words of plain ASCII stay as they are;
// runs of words that hold other characters (or "=?", or a word too long to
// fold) become encoded-words.
std::string EncodeUnstructured(std::string_view text, size_t used);

// A display phrase (the name of an address group). Plain ASCII atoms stay
// as they are, other ASCII text becomes a quoted string, anything else
// encoded-words. `*ends_encoded` tells whether the value ends with an
// encoded-word (the caller then puts a blank before a following ":").
std::string EncodePhrase(std::string_view text, size_t used, bool* ends_encoded);

// The parameter `name` for a non-ASCII `value` in the RFC 2231 form
// (name*0*=UTF-8''..., name*1*=... on lines of their own), each segment
// ending at a character boundary. Returns the text to append after the
// value before it, starting with ";".
std::string Rfc2231Parameter(std::string_view name, std::string_view value);

// True when `text` holds only printable ASCII and blanks.
bool IsPlainAscii(std::string_view text);

}  // namespace kelmora
