#pragma once
// The path form of transfer_target.h made from the texts that reach plftp
// (command fields, configuration values, Windows paths), and the few
// operations on it. Separators are looked for on UTF-16 text only.

#include <string>
#include <string_view>

// Backslashes become "/", the separators at the end go ("/" stays for the
// root). "\\srv\share\a\" becomes "//srv/share/a", "C:\W\" becomes "C:/W".
std::wstring CanonicalPath(std::wstring_view text);

// A name as a rename gives it ("old", or "\old\" in SMB mode): its
// separators at both ends removed.
std::wstring BareName(std::wstring_view text);

std::wstring JoinPath(std::wstring_view folder, std::wstring_view name);
std::wstring ParentPath(std::wstring_view path);  // "/" for "/a"
std::wstring LeafName(std::wstring_view path);

// `path` with `base` in front removed ("/sub/a" for "/r/sub/a" below "/r",
// "/a" below "/"); false when it does not lie below `base`.
bool RelativeTo(std::wstring_view path, std::wstring_view base, std::wstring& relative);

// The name a file has beside its real one while an upload or download
// writes it; renamed into place once complete. Never longer than 255
// characters: a long name is shortened and a hash of it added.
std::wstring PartName(std::wstring_view name);
// The name an old version has while a new one is renamed into its place.
std::wstring OldVersionName(std::wstring_view name);

// Whether `name` matches one of the wildcard patterns ("*" any run, "?" one
// character; letters in either case) of a list separated by ";" or ",".
// Blanks around a pattern are dropped; an empty list matches nothing.
bool MatchesAnyPattern(std::wstring_view patterns, std::wstring_view name);
