#include <windows.h>

#include "app/text_conversion.h"

std::wstring ToWideString(std::string_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), needed);
    return wide;
}

std::string ToAnsiString(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length,
                                           nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string ansi(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length, ansi.data(), needed,
                        nullptr, nullptr);
    return ansi;
}

std::size_t AnsiPrefixLength(std::string_view ansi, std::size_t maxBytes) {
    if (ansi.size() <= maxBytes) return ansi.size();
    std::size_t end = 0;
    while (end < ansi.size()) {
        const std::size_t step =
            (IsDBCSLeadByte(static_cast<BYTE>(ansi[end])) && end + 1 < ansi.size()) ? 2 : 1;
        if (end + step > maxBytes) break;
        end += step;
    }
    return end;
}

unsigned CurrentAnsiCodePage() { return GetACP(); }

bool SelectAnsiCodePage(unsigned codePage) { return GetACP() == codePage; }
