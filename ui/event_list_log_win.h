#pragma once
// EventListLog: the watcher dialog's two-column list view ("Name", "Value"),
// which shows what the dialog watches, and its "Copy" / "Copy All" menu that
// puts rows on the clipboard as tab-separated text. Owned by the dialog; dialog
// thread only.

#include <windows.h>
#include <commctrl.h>

class EventListLog {
public:
    static constexpr int kEventGroup = 1;

    // Sets the list view up (report style, full-row selection, group view, the
    // group "Event", two columns) and sizes its columns.
    void InitListView(HWND listView);
    // Appends a row to `group` whose value is formatted from `format` (printf
    // style, %ls for wide texts). A value longer than 511 characters adds no row.
    bool AddRow(int group, const wchar_t* name, const wchar_t* format, ...);
    void DeleteAllRows();
    // The name column fits its contents, the value column takes the rest (each
    // at most half the list when the names are long). Called after every
    // change; when the rows, the list's size and the widths it set last are as
    // they were, the widths would come out the same and the list is left alone.
    void SizeColumns();
    // WM_NOTIFY from the list view: a right click offers "Copy" and "Copy All".
    void HandleNotify(const NMHDR* header);
    // Puts the selected rows, or all of them, on the clipboard as CF_UNICODETEXT.
    void CopyToClipboard(bool selectedOnly, HWND owner);

    HWND ListView() const { return listView; }

private:
    void ColumnsSized();

    HWND listView = nullptr;
    // What the last sizing saw and set; rowsChanged until the next one.
    bool rowsChanged = true;
    RECT sizedClient{};
    int sizedWidths[2] = {-1, -1};
    struct Group {
        int id;
        const wchar_t* header;
    };
    static constexpr Group kGroups[] = {{kEventGroup, L"Event"}};
    static constexpr int kGroupCount = 1;
};
