#include "ui/event_list_log_win.h"

#include <cstdarg>
#include <cwchar>

#include "ui/ui_handles_win.h"

namespace {

constexpr int kCellChars = 512;              // 511 characters and the terminator
constexpr SIZE_T kClipboardBytes = 0x20000;  // 65,536 UTF-16 units, terminator included
constexpr UINT kCommandCopy = 1;
constexpr UINT kCommandCopyAll = 2;
constexpr int kAppendAtEnd = 0x7FFFFFFF;

// Appends texts to a zeroed block and cuts them where the block ends; the
// last unit always stays the terminator.
class BlockWriter {
public:
    BlockWriter(wchar_t* block, std::size_t units) : block(block), room(units - 1) {}
    void Append(const wchar_t* text) {
        for (; *text && used < room; ++text) block[used++] = *text;
    }

private:
    wchar_t* block;
    std::size_t room;
    std::size_t used = 0;
};

bool HasColumn(HWND listView, int column) {
    LVCOLUMNW info{};
    info.mask = LVCF_FMT;
    return ListView_GetColumn(listView, column, &info) != FALSE;
}

// Widths go to the list view as 16-bit values; a negative one could read as
// one of the automatic sizes (-1, -2).
void SetColumnWidth(HWND listView, int column, int width) {
    ListView_SetColumnWidth(listView, column, width < 0 ? 0 : width);
}

}  // namespace

void EventListLog::InitListView(HWND list) {
    listView = list;
    rowsChanged = true;
    if (!listView) return;
    SetWindowLongPtrW(
        listView, GWL_STYLE,
        GetWindowLongPtrW(listView, GWL_STYLE) | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER);
    ListView_SetExtendedListViewStyle(listView, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    // Groups need common controls 6 (the manifest asks for them); Wine accepts
    // the calls and shows no groups.
    ListView_EnableGroupView(listView, TRUE);
    for (int i = 0; i < kGroupCount; ++i) {
        LVGROUP group{};
        group.cbSize = sizeof group;
        group.mask = LVGF_HEADER | LVGF_GROUPID;
        group.pszHeader = const_cast<wchar_t*>(kGroups[i].header);
        group.iGroupId = kGroups[i].id;
        ListView_InsertGroup(listView, -1, &group);
    }
    const wchar_t* const headers[] = {L"Name", L"Value"};
    for (int i = 0; i < 2; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_FMT | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.pszText = const_cast<wchar_t*>(headers[i]);
        column.iSubItem = i;
        ListView_InsertColumn(listView, i, &column);
    }
    SizeColumns();
}

bool EventListLog::AddRow(int group, const wchar_t* name, const wchar_t* format, ...) {
    if (!listView) return false;
    wchar_t value[kCellChars];
    va_list args;
    va_start(args, format);
    // A value that does not fit gives no row. The C runtimes disagree on how
    // they say so: a negative result, or the length the value would have had.
    const int length = std::vswprintf(value, kCellChars, format, args);
    va_end(args);
    if (length < 0 || length >= kCellChars) return false;

    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_GROUPID;
    item.iItem = kAppendAtEnd;
    item.pszText = const_cast<wchar_t*>(name);
    item.iGroupId = group;
    const int row = ListView_InsertItem(listView, &item);
    if (row < 0) return false;
    rowsChanged = true;
    ListView_SetItemText(listView, row, 1, value);
    return true;
}

void EventListLog::DeleteAllRows() {
    if (listView) ListView_DeleteAllItems(listView);
    rowsChanged = true;
}

void EventListLog::SizeColumns() {
    if (!listView) return;
    // Measuring the texts costs Wine about 0.15 ms, once for every change of
    // a burst that leaves the list as it was.
    RECT client{};
    if (!rowsChanged && GetClientRect(listView, &client) && EqualRect(&client, &sizedClient) &&
        ListView_GetColumnWidth(listView, 0) == sizedWidths[0] &&
        ListView_GetColumnWidth(listView, 1) == sizedWidths[1]) {
        return;
    }
    ListView_SetColumnWidth(listView, 0, LVSCW_AUTOSIZE_USEHEADER);
    const int nameWidth = ListView_GetColumnWidth(listView, 0);
    if (!GetClientRect(listView, &client) || nameWidth <= 0) {
        ListView_SetColumnWidth(listView, 1, LVSCW_AUTOSIZE_USEHEADER);
        ColumnsSized();
        return;
    }
    const int width = client.right - client.left;
    const int half = width / 2;
    const int scrollBar = GetSystemMetrics(SM_CXVSCROLL);
    if (nameWidth > half) {
        SetColumnWidth(listView, 0, half);
        SetColumnWidth(listView, 1, half - scrollBar);
    } else {
        SetColumnWidth(listView, 1, width - nameWidth - scrollBar);
    }
    ColumnsSized();
}

void EventListLog::ColumnsSized() {
    rowsChanged = false;
    if (!GetClientRect(listView, &sizedClient)) rowsChanged = true;
    sizedWidths[0] = ListView_GetColumnWidth(listView, 0);
    sizedWidths[1] = ListView_GetColumnWidth(listView, 1);
}

void EventListLog::HandleNotify(const NMHDR* header) {
    if (!header || header->code != static_cast<UINT>(NM_RCLICK) || !listView) return;
    POINT point = reinterpret_cast<const NMITEMACTIVATE*>(header)->ptAction;
    ClientToScreen(listView, &point);
    UniqueMenu menu(CreatePopupMenu());
    if (!menu || !AppendMenuW(menu.Get(), MF_STRING, kCommandCopy, L"Copy") ||
        !AppendMenuW(menu.Get(), MF_STRING, kCommandCopyAll, L"Copy All")) {
        return;
    }
    const UINT command = static_cast<UINT>(
        TrackPopupMenu(menu.Get(), TPM_RETURNCMD, point.x, point.y, 0, listView, nullptr));
    if (command == kCommandCopy || command == kCommandCopyAll) {
        CopyToClipboard(command == kCommandCopy, GetParent(listView));
    }
}

void EventListLog::CopyToClipboard(bool selectedOnly, HWND owner) {
    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kClipboardBytes));
    if (!block) return;
    {
        GlobalLockScope<wchar_t> text(block.Get());
        if (!text.Get()) return;
        BlockWriter out(text.Get(), kClipboardBytes / sizeof(wchar_t));
        const int rows = listView ? ListView_GetItemCount(listView) : 0;
        for (int row = 0; row < rows; ++row) {
            if (selectedOnly &&
                !(ListView_GetItemState(listView, row, LVIS_SELECTED) & LVIS_SELECTED)) {
                continue;
            }
            for (int column = 0; HasColumn(listView, column); ++column) {
                // A cell that cannot be read stays empty; an empty cell adds
                // nothing, not even its tab.
                wchar_t cell[kCellChars] = {};
                ListView_GetItemText(listView, row, column, cell, kCellChars);
                if (!cell[0]) continue;
                if (column > 0) out.Append(L"\t");
                out.Append(cell);
            }
            out.Append(L"\r\n");
        }
    }
    ClipboardScope clipboard(owner);
    if (!clipboard) return;
    EmptyClipboard();
    // The clipboard owns the block once it took it.
    if (SetClipboardData(CF_UNICODETEXT, block.Get())) block.Release();
}
