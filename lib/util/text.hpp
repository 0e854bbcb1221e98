// Views into text that cannot throw: the library is built without
// exceptions, and std::string_view::substr throws for a start past the end.
#pragma once

#include <algorithm>
#include <cstddef>
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

} // namespace hcp
