#include <windows.h>

#include "base/text_conversion.h"

namespace {

// The system may run with UTF-8 as its ANSI code page ("Beta: Use Unicode
// UTF-8 for worldwide language support"). WideCharToMultiByte then refuses
// WC_NO_BEST_FIT_CHARS (code page 65001 takes no flag but
// WC_ERR_INVALID_CHARS), so every conversion would fail and come out empty:
// pipe subjects, reports, registry keys. UTF-8 holds every character exactly,
// so there it converts without flags and the round trip is lossless.
bool AnsiIsUtf8() { return GetACP() == CP_UTF8; }

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// An unpaired surrogate has no UTF-8 form: the conversion would write U+FFFD,
// three valid bytes, and a name holding one would pass for a supported name.
// It becomes "?", as a character without a form does in any other code page,
// so the watcher refuses the folder or skips the event as it should.
std::wstring PairedSurrogatesOnly(std::wstring_view text) {
    std::wstring out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (IsHighSurrogate(out[i]) && i + 1 < out.size() && IsLowSurrogate(out[i + 1])) {
            ++i;
        } else if (IsHighSurrogate(out[i]) || IsLowSurrogate(out[i])) {
            out[i] = L'?';
        }
    }
    return out;
}

std::string Narrow(std::wstring_view text, DWORD flags) {
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string ansi(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, flags, text.data(), length, ansi.data(), needed, nullptr, nullptr);
    return ansi;
}

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

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
    if (AnsiIsUtf8()) return Narrow(PairedSurrogatesOnly(text), 0);
    return Narrow(text, WC_NO_BEST_FIT_CHARS);
}

std::size_t AnsiPrefixLength(std::string_view ansi, std::size_t maxBytes) {
    if (ansi.size() <= maxBytes) return ansi.size();
    if (AnsiIsUtf8()) {
        // Back to the start of the character the limit falls in (a UTF-8
        // character has at most three continuation bytes).
        std::size_t end = maxBytes;
        for (int back = 0; back < 3 && end > 0 && IsUtf8Continuation(ansi[end]); ++back) --end;
        return IsUtf8Continuation(ansi[end]) ? maxBytes : end;
    }
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
