#pragma once
// The per-folder configuration: the watcher reads the folder's put
// configuration file ("<key>_put.config" in the data directory) once, at the
// watcher start, into the configuration fields of WatcherState. The file
// belongs to the client's settings; the watcher never writes it, and the
// transfer tool reads the same file for its own settings.

#include <cstdint>
#include <string>
#include <string_view>

// Reads State().putConfigPath into the configuration fields. A missing or
// unreadable file leaves the defaults and is not reported. Runs on the start-up
// path before any thread that reads the fields exists.
void ReadFolderConfig();

// Blanks (space, tab), one optional sign, then decimal digits up to the first
// other byte; 0 without digits. No overflow check: the value wraps in 32 bits.
int32_t ParseInt(std::string_view text);

// Standard Base64 (RFC 4648 alphabet). Decoding stops at the first "=" or the
// first byte outside the alphabet; a final group of two or three characters
// yields one or two bytes, a lone final character nothing.
std::string DecodeBase64(std::string_view text);
