#pragma once
// The one gate every path passes before plftp touches a file system or a
// server: configuration values, file-list fields and names from listings are
// turned into the path form of transfer_target.h below a base folder (the
// mapped remote folder, or the watched folder), or refused with a reason.
// Nothing here looks at a disk.

#include <string>
#include <string_view>

// Why a single name cannot be a component of a path plftp writes or deletes,
// or empty when it can: "." and "..", separators, drive and stream colons,
// wildcards and control characters, trailing dots or blanks, the device
// names (CON, NUL, COM1... with or without an extension), more than 255
// UTF-16 units.
std::string UnsafeNameReason(std::wstring_view name);
inline bool IsSafeName(std::wstring_view name) { return UnsafeNameReason(name).empty(); }

// Whether the name survives the ANSI code page unchanged (no "?" stand-in).
bool FitsAnsiCodePage(std::wstring_view name);

// Whether `path` is `base` or lies below it, comparing letters in either case
// when `caseSensitive` is false.
bool IsWithin(std::wstring_view path, std::wstring_view base, bool caseSensitive);

// Whether one of two folders holds the other (or they are the same), letters
// in either case: a target inside the watched folder, or the other way round.
bool FoldersOverlap(std::wstring_view a, std::wstring_view b);

// `text` (a file-list field or configuration value, "\" or "/" separated) as
// a path below `base`: it must start with `base` and every component after it
// must be a safe name. `strictlyBelow` refuses `base` itself. Returns the
// reason of a refusal, or empty with `path` set.
std::string ConfinePath(std::wstring_view text, std::wstring_view base, bool caseSensitive,
                        bool strictlyBelow, std::wstring& path);

// The name `text` names in a rename field ("old", or "\old\" in SMB mode):
// one safe name, or a reason.
std::string ConfineName(std::wstring_view text, std::wstring& name);

// Whether a name is one of plftp's own temporary files (a transfer in
// progress, or an old version kept while a new one is renamed into place).
bool IsTransferTempName(std::wstring_view name);

// Why a folder of the configuration or the command line ("C:/W", "//srv/share/x",
// "/remote/dir") is unfit to be a base folder, or empty: every component after
// a drive or a "//server/share" start must be a safe name. `absolute` asks for
// a drive or server start.
std::string UnfitBaseReason(std::wstring_view path, bool absolute);
