#pragma once
// Everything the watcher tells the user goes through ShowMessage: a message
// code selects a text (English, or Japanese on a Japanese desktop) and a
// time-out, and the text is shown in a box that closes by itself.

#include <cstdint>

// Shows the message for `code` with `caption` (a watched folder path) as the
// title and returns when the box has closed. For codes 100 to 104 the text is
// `composedText`, shown unchanged; other codes take the catalogue's text.
// Texts and caption are in the ANSI code page.
void ShowMessage(int32_t code, const char* caption, const char* composedText = nullptr);

// Shows the message from a detached thread of its own and returns at once; the
// caption is copied first, so the caller may free it.
void ShowMessageAsync(int32_t code, const char* caption);
