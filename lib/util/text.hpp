// Views into text that cannot throw: the library is built without
// exceptions, and std::string_view::substr (which starts_with, compare and
// copy use) throws for a start past the end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace hcp
{

// The part of text from start, at most length characters; empty past the end.
constexpr std::string_view slice(std::string_view text, size_t start,
                                 size_t length = std::string_view::npos) noexcept
{
    start = std::min(start, text.size());
    return {text.data() + start, std::min(length, text.size() - start)};
}

// Whether text begins with prefix.
inline bool starts_with(std::string_view text, std::string_view prefix) noexcept
{
    return text.size() >= prefix.size() &&
           std::memcmp(text.data(), prefix.data(), prefix.size()) == 0;
}

} // namespace hcp
