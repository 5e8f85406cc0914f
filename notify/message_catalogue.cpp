// Scaffolding until the catalogue lands: every code shows its number.
#include "notify/message_catalogue.h"

#include <string>
#include <thread>

#include "app/seams.h"
#include "app/text_conversion.h"

void ShowMessage(int32_t code, const char* caption, const char* composedText) {
    const std::string text =
        (code >= 100 && code <= 104 && composedText) ? std::string(composedText) : std::to_string(code);
    CurrentSeams().showTimedBox(ToWideString(caption ? caption : ""), ToWideString(text), 5000);
}

void ShowMessageAsync(int32_t code, const char* caption) {
    std::thread([code, copy = std::string(caption ? caption : "")] {
        ShowMessage(code, copy.c_str());
    }).detach();
}
