#pragma once
// Path operations of the change event handler. They work on item paths as the
// shell item gives them: UTF-16, ending with one backslash for files as well as
// folders (C:\W\sub\a.txt arrives as "C:\W\sub\a.txt\"), and every one of them
// relies on that final backslash.
//
// Backslashes are looked for in the UTF-16 form only: in a double-byte code
// page such as 932 the second byte of a character can have the value of a
// backslash (表 is 95 5C), so the ANSI bytes are never searched.
//
// All of them run on the dialog thread, inside the change event handler, and
// write only the fields named below.

#include <cstddef>
#include <cstdint>

#include "base/bounded_text.h"

// Working copies of an item path hold this many UTF-16 code units (terminator
// included); longer paths are cut there.
constexpr std::size_t kItemPathCapacity = 512;

// Rewrites a path under the shell's Network folder (a first component named
// exactly "Network" or "ネットワーク") into UNC form:
// "ネットワーク\srv\share\a.txt\" becomes "\\srv\share\a.txt\". Anything else,
// a folder named Network further down included, is left unchanged. The result
// is never longer than the input.
void RewriteNetworkPath(BoundedWText<kItemPathCapacity>& path);
// The same on a NUL-terminated text, in place (null is left alone).
void RewriteNetworkPath(wchar_t* path);

// lastEventParent = the item's parent folder with a final backslash
// ("C:\W\sub\a.txt\" gives "C:\W\sub\"), or empty for a path with fewer than
// two backslashes.
void SetLastEventParent(const wchar_t* itemPath);

// Whether the item path names an existing folder: it lists "<path>*", which
// fails for a file and for an item that no longer exists. Any length: a path
// past MAX_PATH is searched in its "\\?\" form.
bool IsFolderPath(const wchar_t* itemPath);

// The item's last write time in calendar seconds (since 1970), or -1 when it
// cannot be had (no such item).
int64_t ItemLastWriteTime(const wchar_t* itemPath);

// itemDir = the local folder of the item, in the ANSI code page: the folder
// itself (final backslash kept) when eventIsFolder is 1, else the text up to
// and including the backslash before the item's name. Null or a path without
// such a backslash gives an empty itemDir.
void SetItemDir(const wchar_t* itemPath);

// eventLeafName = the item's name in the ANSI code page (at most 259 bytes).
// For a folder (eventIsFolder 1) it also sets itemDir and relativeDir, and the
// leaf name is the folder's directory relative to its registered root
// ("/sub/").
void SetLeafName(const wchar_t* itemPath);
