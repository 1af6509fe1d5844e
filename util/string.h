// Small text helpers shared by every layer.
#pragma once

#include <cstdint>

// Version number of a "major.minor.patch" text: major * 1,000,000 +
// minor * 10,000 + patch * 100, so numbers compare like the versions
// ("2.1.0" is 2,010,000). A missing minor or patch counts as 0 and text
// after the patch is ignored ("2.1.0-rc1"). Returns 0 for no text, a text
// not starting with a digit, a minor above 99, a patch above 100, or a
// major too large for 32 bits.
uint32_t version_number(const char *text);
