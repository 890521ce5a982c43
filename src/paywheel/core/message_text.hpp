// A catalogue text (messages.hpp) with its placeholders filled, printf-style.
#pragma once

#include <cstdio>
#include <string>

namespace paywheel::messages {

template <class... Args>
std::string text(const char* format, Args... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0) return std::string(format);
    std::string s(static_cast<std::size_t>(n), '\0');
    std::snprintf(s.data(), s.size() + 1, format, args...);
    return s;
}

}  // namespace paywheel::messages
