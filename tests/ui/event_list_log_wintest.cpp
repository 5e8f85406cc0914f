// Catches: a sizing skipped while the list changed (a new row, a column width set by a drag, a
// list of another size), which would leave columns the rows do not fit.
#include "ui/event_list_log_win.h"

#include <gtest/gtest.h>

namespace {

struct Window {
    HWND handle;
    explicit Window(HWND h) : handle(h) {}
    ~Window() {
        if (handle) DestroyWindow(handle);
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
};

TEST(EventListLogTest, ColumnsFollowTheRowsTheListsSizeAndWidthsSetElsewhere) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
    ASSERT_TRUE(InitCommonControlsEx(&controls));
    const Window parent(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 700, 300, nullptr,
                                        nullptr, nullptr, nullptr));
    ASSERT_NE(parent.handle, nullptr);
    const HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT, 0, 0, 600, 200,
                                      parent.handle, nullptr, nullptr, nullptr);
    ASSERT_NE(list, nullptr);
    const auto width = [list](int column) { return ListView_GetColumnWidth(list, column); };

    EventListLog log;
    log.InitListView(list);
    ASSERT_TRUE(log.AddRow(EventListLog::kEventGroup, L"Watching", L"%ls", L"C:\\W"));
    log.SizeColumns();
    const int narrow = width(0);
    ASSERT_TRUE(log.AddRow(EventListLog::kEventGroup, L"A name far wider than the first one",
                           L"%ls", L"x"));
    log.SizeColumns();
    const int wide = width(0), rest = width(1);
    EXPECT_GT(wide, narrow);

    ListView_SetColumnWidth(list, 0, 10);  // as a drag of the divider does
    log.SizeColumns();
    EXPECT_EQ(width(0), wide);
    EXPECT_EQ(width(1), rest);

    ASSERT_TRUE(MoveWindow(list, 0, 0, 400, 200, FALSE));
    log.SizeColumns();
    EXPECT_EQ(width(1), rest - 200);

    log.DeleteAllRows();
    log.SizeColumns();
    EXPECT_LT(width(0), narrow);  // the header alone
}

}  // namespace
