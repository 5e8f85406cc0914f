#include "base/text_conversion.h"

void ToAnsi(const wchar_t* text, BoundedText<512>& out) {
    const std::string ansi = ToAnsiString(text ? std::wstring_view(text) : std::wstring_view());
    out.Assign(std::string_view(ansi).substr(0, AnsiPrefixLength(ansi, out.MaxLength())));
}
