// Native stand-in for the replace: rename() replaces an existing target.
#include <cstdio>

#include "sync/event_list_file.h"

bool ReplaceExistingFile(const std::string& source, const std::string& target) {
    return std::rename(source.c_str(), target.c_str()) == 0;
}
