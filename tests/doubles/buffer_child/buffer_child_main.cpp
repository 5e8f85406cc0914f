// A writer of the event list to be killed: adds a seeded stream of commands to the real buffer.
// buffer_child <event list path> <seed> <steps> [<burst>]: creates "<path>.started" once the buffer
// is ready, then adds CommandGenerator(seed)'s commands, counting each as the change event handler
// does; with a burst, a flush is queued and written after every <burst> additions, as group commit
// does. Exit 0 after the last step, 2 on bad arguments.
#include <cstdio>
#include <cwchar>
#include <string>

#include "base/seams.h"
#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "support/random_commands.h"
#include "sync/command_buffer.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    // A write failure must not leave a box waiting for a user.
    CurrentSeams().showTimedBox = [](const std::wstring&, const std::wstring&, uint32_t) {
        return -1;
    };
    const std::string path = ToAnsiString(argv[1]);
    const long burst = argc > 4 ? std::wcstol(argv[4], nullptr, 10) : 0;
    State().eventListPath.Assign(path);
    CommandBuffer& buffer = State().commands;
    CreateCommandBuffer(buffer);
    if (std::FILE* started = std::fopen((path + ".started").c_str(), "wb")) std::fclose(started);
    CommandGenerator generator(static_cast<uint32_t>(std::wcstoul(argv[2], nullptr, 10)));
    for (long step = 0; step < std::wcstol(argv[3], nullptr, 10); ++step) {
        const GeneratedCommand command = generator.Next();
        static_cast<void>(AddCommand(command.text.CStr(), command.eventKind));
        if (burst > 0 && step % burst == 0) {
            EventListFlushArrived();
            RequestEventListFlush();
        }
    }
    return 0;
}
