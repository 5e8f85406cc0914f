// pellaro-echo: the terminal's view of one watcher, for a run under Wine where
// nobody sees the desktop.
//   pellaro-echo <folder> <transfer log> <error file>
// Every tenth of a second it
//   - prints each new message box of the watcher of <folder> (a "#32770" box
//     captioned with the folder path) once, with its message code and text,
//     then presses its OK button: the box has been seen, and a watcher that is
//     closing never waits for a box to time out. A start-up question (Yes/No)
//     is answered No, which sends nothing either way;
//   - prints each new line of the transfer log and of the error file.
// Everything is written as UTF-8; the files are UTF-8 already (plftp writes
// them so), and their lines go out as they are.
// Lines already in the files when it starts are not printed; a file that is
// rolled over, emptied or deleted is read again from its start. It runs until
// it is ended.
#include <windows.h>

#include <cstdio>
#include <set>
#include <cwchar>
#include <string>
#include <vector>

#include "base/watcher_state.h"
#include "base/text_conversion.h"
#include "notify/message_catalogue.h"

namespace {

constexpr DWORD kPollMs = 100;
constexpr int kMessageTextId = 0xFFFF;  // a message box's static text control
constexpr uint32_t kEnglishLcid = 1033;

// Whole writes to whatever stdout is (a pipe or a file under Wine): the bytes
// go out as they are, UTF-8.
void Print(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

std::wstring TrimSlashes(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

// The message code of a box's text: the catalogue entry it is (English or
// Japanese), or 100 for the composed transfer report.
int32_t CodeOf(const std::wstring& text) {
    for (int32_t code = -2100; code <= 300; ++code) {
        for (uint32_t lcid : {kEnglishLcid, kJapaneseLcid}) {
            const wchar_t* known = CatalogueText(code, lcid);
            if (known && text == known) return code;
        }
    }
    return kMsgTransferReport;
}

struct BoxSearch {
    std::wstring caption;
    std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<BoxSearch*>(param);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (std::wstring(className) != L"#32770" || !IsWindowVisible(window)) return TRUE;
    if (!GetDlgItem(window, kMessageTextId)) return TRUE;
    wchar_t title[1024] = {};
    GetWindowTextW(window, title, 1024);
    if (CompareStringOrdinal(TrimSlashes(title).c_str(), -1, search->caption.c_str(), -1, TRUE) !=
        CSTR_EQUAL) {
        return TRUE;
    }
    search->boxes.push_back(window);
    return TRUE;
}

// The boxes seen so far, forgotten once gone (a window handle can come back).
class CBoxEcho {
public:
    explicit CBoxEcho(std::wstring folder) { search.caption = TrimSlashes(std::move(folder)); }

    void Poll() {
        search.boxes.clear();
        EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
        std::set<HWND> now(search.boxes.begin(), search.boxes.end());
        for (HWND box : search.boxes) {
            if (seen.count(box)) continue;
            Report(box);
        }
        seen = std::move(now);
    }

private:
    static void Report(HWND box) {
        std::wstring text(4096, L'\0');
        text.resize(static_cast<std::size_t>(
            GetDlgItemTextW(box, kMessageTextId, text.data(), static_cast<int>(text.size()))));
        const bool question = GetDlgItem(box, IDYES) != nullptr;
        std::string line = question ? "question: " : "box " + std::to_string(CodeOf(text)) + ": ";
        // One line per line of the box, without the blanks at their ends.
        std::size_t start = 0;
        for (bool first = true; start <= text.size(); first = false) {
            std::size_t end = text.find(L'\n', start);
            if (end == std::wstring::npos) end = text.size();
            std::wstring part = text.substr(start, end - start);
            const std::size_t from = part.find_first_not_of(L" \t\r");
            part = from == std::wstring::npos
                       ? std::wstring()
                       : part.substr(from, part.find_last_not_of(L" \t\r") - from + 1);
            if (!part.empty()) line += (first ? "" : "\n    ") + EncodeUtf8(part);
            start = end + 1;
        }
        if (question) line += "\n    (answered No: nothing is sent or fetched)";
        Print(line);
        const int button = question ? IDNO : IDOK;
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    }

    BoxSearch search;
    std::set<HWND> seen;
};

// New whole lines of a file written by appending.
class CFileTail {
public:
    // Lines up to byte `start` are old; without it, whatever the file holds now.
    CFileTail(std::wstring path, const wchar_t* start) : path(std::move(path)) {
        offset = start ? std::wcstoull(start, nullptr, 10) : Size();
    }

    std::vector<std::string> NewLines() {
        std::vector<std::string> lines;
        const uint64_t size = Size();
        if (size < offset) offset = 0;  // rolled over, emptied or deleted
        if (size == offset) return lines;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return lines;
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        std::string bytes(static_cast<std::size_t>(size - offset), '\0');
        DWORD read = 0;
        if (SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
            ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
        }
        CloseHandle(file);
        bytes.resize(read);
        // Only whole lines: the rest is read again once its line feed is there.
        const std::size_t end = bytes.rfind('\n');
        if (end == std::string::npos) return lines;
        offset += end + 1;
        std::size_t start = 0;
        while (start <= end) {
            std::size_t feed = bytes.find('\n', start);
            std::string line = bytes.substr(start, feed - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            start = feed + 1;
        }
        return lines;
    }

private:
    uint64_t Size() const {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
        return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    std::wstring path;
    uint64_t offset = 0;
};

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

// "2026-12-07 14:02:03<TAB>put<TAB>local<TAB>remote<TAB>ok" as
// "14:02:03 put      local -> remote  ok".
std::string LogLine(const std::string& line) {
    std::vector<std::string> f = Fields(line);
    f.resize(5);
    const std::size_t blank = f[0].find(' ');
    std::string text = blank == std::string::npos ? f[0] : f[0].substr(blank + 1);
    std::string action = f[1];
    if (action.size() < 8) action.resize(8, ' ');
    text += " " + action + " " + f[2];
    if (!f[2].empty() && !f[3].empty()) text += " -> ";
    return text + f[3] + "  " + f[4];
}

// "time<TAB>item<TAB>reason" as "14:02:03 FAILED   item: reason".
std::string ErrorLine(const std::string& line) {
    std::vector<std::string> f = Fields(line);
    f.resize(3);
    const std::size_t blank = f[0].find(' ');
    return (blank == std::string::npos ? f[0] : f[0].substr(blank + 1)) + " FAILED   " + f[1] +
           ": " + f[2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // The optional sizes are those the two files had before the run began, so
    // that lines written before this program was up are shown too.
    if (argc != 4 && argc != 6) {
        std::fputs(
            "usage: pellaro-echo <folder> <transfer log> <error file> [<log size> <error size>]\n",
            stderr);
        return 2;
    }
    CBoxEcho boxes(argv[1]);
    CFileTail log(argv[2], argc == 6 ? argv[4] : nullptr);
    CFileTail errors(argv[3], argc == 6 ? argv[5] : nullptr);
    for (;;) {
        for (const std::string& line : log.NewLines()) Print(LogLine(line));
        for (const std::string& line : errors.NewLines()) Print(ErrorLine(line));
        boxes.Poll();
        Sleep(kPollMs);
    }
}
