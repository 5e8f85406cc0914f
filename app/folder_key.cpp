#include "app/folder_key.h"

#include "base/text_conversion.h"

void DeriveFolderKey(const wchar_t* path, BoundedText<512>& key) {
    BoundedWText<2048> work(path);
    ReplaceFirst(work, L"\\\\", L"");
    ReplaceFirst(work, L":\\", L"_");
    ReplaceFirst(work, L":", L"_");
    while (work.Str().find(L'\\') != std::wstring_view::npos) ReplaceFirst(work, L"\\", L"_");
    while (work.Str().find(L' ') != std::wstring_view::npos) ReplaceFirst(work, L" ", L"_");
    ToAnsi(work.CStr(), key);
}

bool BuildDataDir(std::string_view appData, WatcherFields& state) {
    state.dataDir.Clear();
    bool fits = state.dataDir.Append(appData);
    fits = state.dataDir.Append(kDataDirSuffix) && fits;
    return fits;
}

bool BuildFileNames(std::string_view appData, WatcherFields& state) {
    const char* dir = state.dataDir.CStr();
    const char* key = state.folderKey.CStr();
    const std::string appDataText(appData);
    bool fits = true;
    fits &= FormatText(state.eventListPath, "%s\\%s.txt", dir, key);
    fits &= FormatText(state.sendListPath, "%s\\~~%s.txt", dir, key);
    fits &= FormatText(state.errorFilePath, "%s\\%s_plerror.txt", dir, key);
    fits &=
        FormatText(state.getConfigPath, "%s\\xq\\pellaro\\%s_get.config", appDataText.c_str(), key);
    fits &=
        FormatText(state.putConfigPath, "%s\\xq\\pellaro\\%s_put.config", appDataText.c_str(), key);
    fits &= FormatText(state.createdListName, "%s_createdFileList.txt", key);
    fits &= FormatText(state.createdListPath, "%s\\%s", dir, state.createdListName.CStr());
    return fits;
}
