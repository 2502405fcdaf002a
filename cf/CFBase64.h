// Base64 (RFC 4648 alphabet) for the property-list reader and writer and any other family that
// needs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qxcf {

// Appends the padded base64 form of bytes to out, on one line.
void base64Encode(const uint8_t* bytes, size_t count, std::string& out);

// Appends the base64 form in lines of at most lineLength characters (rounded down to a multiple of
// 4, at least 4), each line preceded by `indent` tabs and followed by '\n'. Nothing for no bytes.
void base64EncodeLines(const uint8_t* bytes, size_t count, size_t lineLength, size_t indent, std::string& out);

// An upper bound of the decoded size of text.
inline size_t base64DecodedBound(size_t textLength) { return textLength / 4 * 3 + 3; }

// Decodes text into out (room for base64DecodedBound(text.size()) bytes), ignoring XML whitespace
// (space, tab, CR, LF) anywhere. Padding may be present ('=' only at the end, completing a group of
// four) or left out. Returns the byte count, or -1 for any other character, misplaced padding or a
// final group of a single character.
ptrdiff_t base64Decode(std::string_view text, uint8_t* out);

}  // namespace qxcf
