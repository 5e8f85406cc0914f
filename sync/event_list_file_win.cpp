// The C runtime's rename() refuses an existing target on Windows; MoveFileExW
// replaces it in one step, so a reader sees the old or the new file only.
#include <windows.h>

#include "app/text_conversion.h"
#include "sync/event_list_file.h"

bool ReplaceExistingFile(const std::string& source, const std::string& target) {
    return MoveFileExW(ToWideString(source).c_str(), ToWideString(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING) != 0;
}
