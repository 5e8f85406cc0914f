#pragma once
// Conversions between UTF-16 (shell, windows) and the ANSI code page (files,
// command lines, configuration, pipe requests, messages).
//
// On Windows these are MultiByteToWideChar/WideCharToMultiByte with CP_ACP and
// WC_NO_BEST_FIT_CHARS: every character the code page cannot hold exactly
// becomes "?" (best fit would turn é into e, or, in code page 932, ¥ into a
// backslash). The native build uses iconv with a code page chosen by
// SelectAnsiCodePage, so the same rules are tested on Linux.

#include <string>
#include <string_view>

#include "base/bounded_text.h"

// The text converted from the ANSI code page.
std::wstring ToWideString(std::string_view text);

// The text converted to the ANSI code page, whole. Unrepresentable characters
// become "?".
std::string ToAnsiString(std::wstring_view text);

// The text converted to the ANSI code page, at most 511 bytes, cut only between
// characters (a double-byte character is never split).
void ToAnsi(const wchar_t* text, BoundedText<512>& out);

// The longest prefix of `ansi` of at most maxBytes bytes that ends on a
// character boundary of the ANSI code page.
std::size_t AnsiPrefixLength(std::string_view ansi, std::size_t maxBytes);

// UTF-16 to UTF-8 and back, the same on every platform (the transfer log, the
// terminal's lines, plftp's sync record); a lone surrogate or bad UTF-8 fails
// the decode.
std::string EncodeUtf8(std::wstring_view text);
bool DecodeUtf8(std::string_view text, std::wstring& out);

// The ANSI code page in effect (GetACP() on Windows).
unsigned CurrentAnsiCodePage();

// Natively: switches the code page used by the conversions (1252 and 932 are
// supported) and returns true. On Windows the code page is the system's: returns
// true only when it already is `codePage`, so tests can skip otherwise.
bool SelectAnsiCodePage(unsigned codePage);
