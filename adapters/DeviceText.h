// Device texts a version-2 adapter hands over (UTF-8, from a foreign library)
// as the host reads them (UTF-16, bounded). Portable: no Windows calls, so it
// is also built natively for the sanitizers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The longest device text (id, name, serial) the host reads, in UTF-16 code
// units; longer texts are cut there.
constexpr std::size_t kDeviceTextMaxUnits = 1024;

// UTF-8 to UTF-16. Each ill-formed sequence (a stray or overlong byte, a
// truncated sequence, an encoded surrogate, a value above U+10FFFF) becomes
// one U+FFFD per maximal invalid subpart, the substitution Unicode
// recommends. The result is cut at maxUnits, never between the two halves of
// a surrogate pair.
std::u16string DeviceTextFromUtf8(std::string_view utf8, std::size_t maxUnits = kDeviceTextMaxUnits);

// The same from a NUL-terminated text of unknown length (null reads as ""):
// reads no further than the cut needs.
std::u16string DeviceTextFromUtf8(const char* utf8, std::size_t maxUnits = kDeviceTextMaxUnits);

// A host-given text for a message: at most maxUnits units of it (cut at a
// character boundary), with "..." after a cut.
std::u16string ShortenForMessage(std::u16string_view text, std::size_t maxUnits);
