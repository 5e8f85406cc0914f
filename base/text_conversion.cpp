#include "base/text_conversion.h"

std::unique_ptr<wchar_t[]> ToWide(const char* text) {
    const std::wstring wide = ToWideString(text ? std::string_view(text) : std::string_view());
    auto result = std::make_unique<wchar_t[]>(wide.size() + 1);
    wide.copy(result.get(), wide.size());
    result[wide.size()] = L'\0';
    return result;
}

void ToAnsi(const wchar_t* text, BoundedText<512>& out) {
    const std::string ansi = ToAnsiString(text ? std::wstring_view(text) : std::wstring_view());
    out.Assign(std::string_view(ansi).substr(0, AnsiPrefixLength(ansi, out.MaxLength())));
}
