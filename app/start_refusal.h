#pragma once
// The refusals before the watcher starts: a path it cannot hold whole, where
// truncating would watch another folder or write other files. Each is shown in
// the user's language (Japanese when userLcid is 1041, read before the first
// of them) in a box captioned with the program's name, and ends the process.

#include <cstdint>

enum class StartRefusal {
    kDataFolderTooLong,  // APPDATA\xq\pellaro longer than 259 characters
    kFolderTooLong,      // the watched folder longer than 511 characters
    kFileNamesTooLong,   // the folder's files in the data folder longer than 511
};

// The refusal's text: Japanese when `userLcid` is 1041, else English.
const wchar_t* StartRefusalText(StartRefusal refusal, uint32_t userLcid);

// Shows the refusal for State().userLcid through the box seam and ends the
// process with exit status 1.
void RefuseToStart(StartRefusal refusal);
