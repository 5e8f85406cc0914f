// Native stand-in for the Windows code-page conversions, on iconv. The code page
// is a process-wide choice of the test (1252 unless told otherwise).
#include <iconv.h>

#include <atomic>
#include <cerrno>

#include "base/text_conversion.h"

namespace {

std::atomic<unsigned> selectedCodePage{1252};

class Converter {
public:
    Converter(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~Converter() {
        if (Ok()) iconv_close(cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool Ok() const { return cd != reinterpret_cast<iconv_t>(-1); }

    // Converts one unit of input (`inSize` bytes); false when iconv refuses it.
    bool Step(const char* in, std::size_t inSize, std::string& out) {
        char buffer[16];
        char* inPtr = const_cast<char*>(in);
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        if (iconv(cd, &inPtr, &inSize, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            return false;
        }
        out.append(buffer, sizeof buffer - outLeft);
        return true;
    }

private:
    iconv_t cd;
};

// Opening a converter costs far more than converting a path with it, so each
// thread keeps one per direction and code page (an iconv_t is not to be shared
// between threads). The conversions here carry no shift state between calls.
enum Direction { kToWide, kToAnsi };
Converter& ConverterFor(Direction direction, unsigned codePage) {
    struct Held {
        Converter toWide932{"WCHAR_T", "CP932"};
        Converter toAnsi932{"CP932", "WCHAR_T"};
        Converter toWide1252{"WCHAR_T", "CP1252"};
        Converter toAnsi1252{"CP1252", "WCHAR_T"};
    };
    thread_local Held held;
    if (codePage == 932) return direction == kToWide ? held.toWide932 : held.toAnsi932;
    return direction == kToWide ? held.toWide1252 : held.toAnsi1252;
}

bool IsLeadByte932(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

}  // namespace

std::wstring ToWideString(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    const unsigned codePage = selectedCodePage;
    Converter& conv = ConverterFor(kToWide, codePage);
    if (!conv.Ok()) return wide;
    const bool dbcs = codePage == 932;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t n =
            (dbcs && IsLeadByte932(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2
                                                                                                : 1;
        std::string bytes;
        if (conv.Step(text.data() + i, n, bytes) && bytes.size() == sizeof(wchar_t)) {
            wchar_t ch;
            std::memcpy(&ch, bytes.data(), sizeof ch);
            wide.push_back(ch);
        } else {
            wide.push_back(L'?');
        }
        i += n;
    }
    return wide;
}

std::string ToAnsiString(std::wstring_view text) {
    std::string ansi;
    ansi.reserve(text.size());
    const unsigned codePage = selectedCodePage;
    Converter& conv = ConverterFor(kToAnsi, codePage);
    Converter& back = ConverterFor(kToWide, codePage);
    if (!conv.Ok() || !back.Ok()) return ansi;
    for (wchar_t ch : text) {
        // Windows with WC_NO_BEST_FIT_CHARS keeps only exact forms; iconv's
        // tables map some characters one way only (¥ to 5C in code page 932),
        // so a form counts only when it converts back to the same character.
        std::string bytes;
        std::string again;
        if (conv.Step(reinterpret_cast<const char*>(&ch), sizeof ch, bytes) &&
            back.Step(bytes.data(), bytes.size(), again) && again.size() == sizeof ch &&
            std::memcmp(again.data(), &ch, sizeof ch) == 0) {
            ansi += bytes;
        } else {
            ansi.push_back('?');
        }
    }
    return ansi;
}

std::size_t AnsiPrefixLength(std::string_view ansi, std::size_t maxBytes) {
    if (ansi.size() <= maxBytes) return ansi.size();
    const bool dbcs = selectedCodePage == 932;
    std::size_t end = 0;
    while (end < ansi.size()) {
        const std::size_t step =
            (dbcs && IsLeadByte932(static_cast<unsigned char>(ansi[end])) && end + 1 < ansi.size())
                ? 2
                : 1;
        if (end + step > maxBytes) break;
        end += step;
    }
    return end;
}

unsigned CurrentAnsiCodePage() { return selectedCodePage; }

bool SelectAnsiCodePage(unsigned codePage) {
    if (codePage != 932 && codePage != 1252) return false;
    selectedCodePage = codePage;
    return true;
}
