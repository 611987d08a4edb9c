#pragma once

// Text crosses the program in two forms: UTF-16 where the keyboard, profile
// files and language texts hold it, UTF-8 at the edges (terminal, JSON, file
// names). Malformed input becomes U+FFFD rather than an error: a name is
// never worth losing a file over.

#include <string>
#include <string_view>

namespace kestrune {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace kestrune
