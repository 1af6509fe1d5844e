// UTF-8 text checks.
//
// Texts that arrive from outside (message bodies handed to applications,
// page titles and descriptions scanned for link previews) are checked here
// before the library treats them as displayable text. The validity test is
// also exported to applications as ZalvioIsUTF8.
#pragma once

#include <cstdint>

enum : uint32_t {
  UTF8_DEFAULT_LIMIT = 1000000,  // bytes examined when no length is given
};

// 1 when text[0..len) is valid displayable UTF-8, else 0. A length of 0
// examines up to UTF8_DEFAULT_LIMIT bytes; a zero byte ends the text as
// valid. Accepted: tab, line feed, carriage return, printable ASCII
// (0x20..0x7E) and well-formed multi-byte sequences of 2 to 4 bytes that
// are not overlong, not UTF-16 surrogates and not above U+10FFFF. Other
// control bytes, 0x7F, stray continuation bytes, sequences cut by the end
// of the text and a null text are invalid.
int utf8_is_valid(const char *text, uint32_t len);
