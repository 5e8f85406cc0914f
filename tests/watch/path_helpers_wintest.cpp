// Catches: a folder deeper than MAX_PATH taken for a file (and then rejected by the name filter
// when its name has no dot), a deep file or a deleted deep folder taken for a folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "watch/path_helpers.h"

namespace {

std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

TEST(IsFolderPath, TellsFoldersFromFilesAtAnyDepth) {
    TempDir temp;
    const std::wstring root = temp.Path().wstring();
    // Eight levels of 70 characters: past MAX_PATH from the fourth, past a 512-unit copy at the
    // last.
    std::vector<std::wstring> folders;
    std::wstring deep = root;
    for (wchar_t letter : {L'a', L'b', L'c', L'd', L'e', L'f', L'g', L'h'}) {
        deep += L"\\" + std::wstring(70, letter);
        ASSERT_TRUE(CreateDirectoryW(Long(deep).c_str(), nullptr)) << GetLastError();
        folders.push_back(deep);
    }
    ASSERT_GT(deep.size(), 512u);
    const std::wstring file = deep + L"\\Makefile";
    HANDLE created = CreateFileW(Long(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(created);
    const std::wstring gone = deep + L"\\gone";
    ASSERT_TRUE(CreateDirectoryW(Long(gone).c_str(), nullptr));
    ASSERT_TRUE(RemoveDirectoryW(Long(gone).c_str()));

    const struct {
        std::wstring path;
        bool folder;
    } cases[] = {
        {root + L"\\", true},       {folders[0] + L"\\", true}, {folders[3] + L"\\", true},
        {deep + L"\\", true},       {file + L"\\", false},      {gone + L"\\", false},
        {Long(deep) + L"\\", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsFolderPath(c.path.c_str()), c.folder) << c.path.size() << " code units";
    }

    // The deep levels are past what the temporary folder's own clean-up reaches.
    DeleteFileW(Long(file).c_str());
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        RemoveDirectoryW(Long(*it).c_str());
}

}  // namespace
