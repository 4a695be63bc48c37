#pragma once

#include <string_view>

namespace vesk::Utf8 {

// Whether text is well-formed UTF-8: no overlong forms, surrogates, values past U+10FFFF
// or cut-off sequences.
bool isValid(std::string_view text);

// Without Unicode white space and line breaks at either end. Stops at bytes that are not
// UTF-8.
std::string_view trimmed(std::string_view text);

}  // namespace vesk::Utf8
