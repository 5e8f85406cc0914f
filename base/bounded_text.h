#pragma once
// Fixed-capacity, always NUL-terminated text. Every write truncates to fit, so
// a field declared as "at most N-1 characters" can never be overrun, whatever
// the input. Used for every text field of WatcherState and for slot contents.

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string_view>

template <class CharT, std::size_t N>
class BasicBoundedText {
    static_assert(N >= 1, "room for the terminator is needed");

public:
    using View = std::basic_string_view<CharT>;

    constexpr BasicBoundedText() noexcept : chars{} {}
    BasicBoundedText(View text) noexcept : chars{} { Assign(text); }
    BasicBoundedText(const CharT* text) noexcept : chars{} { Assign(text); }

    static constexpr std::size_t Capacity() noexcept { return N; }
    static constexpr std::size_t MaxLength() noexcept { return N - 1; }

    // Copies at most N-1 characters; returns false when the text was cut.
    bool Assign(View text) noexcept {
        const std::size_t n = std::min(text.size(), N - 1);
        if (n != 0) std::memmove(chars, text.data(), n * sizeof(CharT));
        chars[n] = CharT{};
        length = n;
        return n == text.size();
    }
    bool Assign(const CharT* text) noexcept { return Assign(text ? View(text) : View()); }

    // Appends what fits; returns false when the text was cut.
    bool Append(View text) noexcept {
        const std::size_t room = N - 1 - length;
        const std::size_t n = std::min(text.size(), room);
        if (n != 0) std::memmove(chars + length, text.data(), n * sizeof(CharT));
        length += n;
        chars[length] = CharT{};
        return n == text.size();
    }
    bool Append(const CharT* text) noexcept { return Append(text ? View(text) : View()); }

    void Clear() noexcept {
        chars[0] = CharT{};
        length = 0;
    }

    // For code that fills the raw array (a C call writing at most Capacity()
    // characters): re-establishes the length from the terminator, which is
    // forced into the last element first.
    CharT* Data() noexcept { return chars; }
    void Resync() noexcept {
        chars[N - 1] = CharT{};
        length = std::char_traits<CharT>::length(chars);
    }

    const CharT* CStr() const noexcept { return chars; }
    std::size_t Length() const noexcept { return length; }
    bool Empty() const noexcept { return length == 0; }
    View Str() const noexcept { return View(chars, length); }
    operator View() const noexcept { return Str(); }

    friend bool operator==(const BasicBoundedText& a, View b) noexcept { return a.Str() == b; }

private:
    CharT chars[N];
    std::size_t length = 0;
};

template <std::size_t N>
using BoundedText = BasicBoundedText<char, N>;
template <std::size_t N>
using BoundedWText = BasicBoundedText<wchar_t, N>;

// printf-style formatting into a bounded text: the result is cut to fit.
// Returns false when it was cut (or the format failed, leaving it empty).
template <std::size_t N>
bool FormatText(BoundedText<N>& out, const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

template <std::size_t N>
bool FormatText(BoundedText<N>& out, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const int needed = std::vsnprintf(out.Data(), N, format, args);
    va_end(args);
    if (needed < 0) {
        out.Clear();
        return false;
    }
    out.Resync();
    return static_cast<std::size_t>(needed) < N;
}
