#pragma once
// plftp's settings: the folder's key=value configuration file, read with the
// watcher's own reader (config/folder_config.h) so both read every shared key
// alike, plus the keys only the tool knows: "root=" (the folder of a file
// target), "fingerprint=" and "cafile=" (FTPS), "connections=" (FTP).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/plftp/tool_status.h"

enum class TransferDirection : uint8_t { kPut, kGet };
enum class TargetProtocol : uint8_t { kFile, kSmb, kFtp };

struct ToolConfig {
    TransferDirection direction = TransferDirection::kPut;
    TargetProtocol protocol = TargetProtocol::kFile;
    std::wstring root;        // kFile: the Windows folder that "/" names
    std::wstring remoteDir;   // "dir=" in the path form of transfer_target.h; "/" when empty
    std::wstring host;        // kFtp
    bool tls = false;         // "protocol=ftps": TLS on every connection, or no run
    std::string fingerprint;  // "fingerprint=": the pinned certificate, as NormalisedFingerprint
    std::wstring caFile;      // "cafile=": the only roots a certificate may chain to
    uint16_t port = 21;
    std::wstring userName;
    std::wstring password;   // decoded
    bool utf8Names = false;  // "encoding=utf8"; otherwise the ANSI code page
    std::wstring ignore;     // wildcard lists for folder walks
    std::wstring ignoreDir;
    uint64_t sizeLimit = 0;  // bytes; 0 for none
    // kFtp, "connections=" (1 to 16): files in flight at once, each on a
    // connection of its own besides the one that lists, makes folders,
    // renames and deletes; 1 sends them on that one.
    std::size_t connections = 4;
};

// A SHA-256 fingerprint as "AB:CD:..." (32 bytes in upper-case hex, colons
// between), from 64 hex digits in either case, with or without colons or
// blanks between pairs; empty when `text` is no such fingerprint.
std::string NormalisedFingerprint(std::string_view text);
// "AB:CD:..." of raw bytes.
std::string FormatFingerprint(std::string_view bytes);

// Reads the file at `path` (ANSI). A file that cannot be opened fails with
// kToolOpenFileError, an unknown protocol or a bad port with
// kToolInvalidTarget, a direction that neither "cmd=" nor the file name
// (_put.config, _get.config) gives with kToolInvalidRequest.
Outcome LoadToolConfig(const std::string& path, ToolConfig& config);
