// A real FTP server for one test: Debian's pyftpdlib, run by /usr/bin/python3 from under Wine.
#pragma once
// On 127.0.0.1 with one user, serving a folder of the test; it ends with its owner, or after 15
// minutes whatever happens to the test. A download of a file whose name starts with "cut" is cut
// after a third and ended with 426, as a server that aborts a transfer does; one whose name starts
// with "held" waits until the test releases it (the whole server waits with it). An upload of a
// file whose name (or its temporary name, "~" and the name) starts with "refused" is refused
// with 550. With PELLARO_FTP_TRACE=<prefix> in the environment, each command's time goes to
// <prefix>-<port>.log.

#include <windows.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/process_win.h"
#include "support/temp_dir.h"

namespace ftp_server_detail {

inline constexpr char kServerScript[] = R"(import logging, os, sys, time
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer
home, user, password, port, control, listing = sys.argv[1:7]
logging.basicConfig(level=logging.WARNING)
FTPHandler.authorizer = DummyAuthorizer()
FTPHandler.authorizer.add_user(user, password, home, perm="elradfmwMT")
end = time.time() + 900
class CuttingDTPHandler(DTPHandler):
    # A download of a file whose name starts with "cut" ends after a third with 426; one whose
    # name starts with "held" waits for <control>.release (or .stop).
    def send(self, data):
        f = getattr(self, "file_obj", None)
        name = os.path.basename(f.name) if f is not None and not self.receive else ""
        while name.startswith("held") and time.time() < end and not any(
                os.path.exists(control + ending) for ending in (".release", ".stop")):
            time.sleep(0.05)
        sent = DTPHandler.send(self, data)
        if name.startswith("cut"):
            if self.get_transmitted_bytes() * 3 >= os.fstat(f.fileno()).st_size:
                self.handle_close()
        return sent
    def use_sendfile(self):
        return False
class RefusingFTPHandler(FTPHandler):
    def ftp_STOR(self, file, mode="w"):
        if os.path.basename(file).lstrip("~").startswith("refused"):
            self.respond("550 Refused by the test.")
            return
        return FTPHandler.ftp_STOR(self, file, mode)
FTPHandler.dtp_handler = CuttingDTPHandler
FTPHandler.use_sendfile = False
if listing == "list":  # a server that lists with LIST only, and says so in FEAT
    RefusingFTPHandler.proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items() if k not in ("MLSD", "MLST")}
handler = RefusingFTPHandler
if os.environ.get("PELLARO_FTP_TRACE"):  # "<time> <command>" lines, to see where a run's time goes
    class TracingFTPHandler(RefusingFTPHandler):
        trace = None
        def pre_process_command(self, line, cmd, arg):
            self.trace.write("%.6f %s\n" % (time.perf_counter(), cmd))
            return RefusingFTPHandler.pre_process_command(self, line, cmd, arg)
    handler = TracingFTPHandler
server = FTPServer(("127.0.0.1", int(port)), handler)
if handler is not RefusingFTPHandler:
    handler.trace = open("%s-%d.log" % (os.environ["PELLARO_FTP_TRACE"], server.address[1]), "w", buffering=1)
open(control + ".part", "w").write(str(server.address[1]))
os.replace(control + ".part", control + ".port")
while not os.path.exists(control + ".stop") and time.time() < end:
    server.serve_forever(timeout=0.2, blocking=False)
server.close_all()
open(control + ".ended", "w").close()
)";

// The quoted Linux path of a Windows path (Wine's kernel32 export), empty when there is none.
inline std::wstring UnixPath(const std::filesystem::path& path) {
    using Convert = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char* unix = convert ? convert(path.wstring().c_str()) : nullptr;
    if (!unix) return {};
    const std::wstring quoted = L"\"" + std::filesystem::path(std::string(unix)).wstring() + L"\" ";
    HeapFree(GetProcessHeap(), 0, unix);
    return quoted;
}

}  // namespace ftp_server_detail

// What a folder holds, to compare a served folder with a watched one: "a/b.txt=<content>" files and
// "a/" folders (names in UTF-8), sorted, blank-separated.
inline std::string FolderTree(const std::filesystem::path& root) {
    std::set<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::u8string utf8 = std::filesystem::relative(entry.path(), root).generic_u8string();
        const std::string name(utf8.begin(), utf8.end());  // UTF-8, whatever the code page
        entries.insert(entry.is_directory() ? name + "/"
                                            : name + "=" + ReadFileBytes(entry.path()));
    }
    std::string tree;
    for (const std::string& entry : entries) tree += (tree.empty() ? "" : " ") + entry;
    return tree;
}

class FtpServer {
public:
    // Serves `home` at a free port; without `mlsd`, folders are listed with LIST only.
    FtpServer(std::filesystem::path home, std::string user, std::string password,
              bool mlsd = true) {
        using ftp_server_detail::UnixPath;
        static int serial = 0;
        control = home.parent_path() / ("ftp-server-" + std::to_string(++serial));
        const std::filesystem::path script = control.string() + ".py";
        WriteFileBytes(script, ftp_server_detail::kServerScript);
        const std::wstring unixScript = UnixPath(script);
        const std::wstring unixHome = UnixPath(home);
        if (unixScript.empty() || unixHome.empty()) return;
        // Started from under Wine, a Linux program runs on its own: no handle comes back, so the
        // control files are all there is between the two.
        StartProcess(L"Z:\\usr\\bin\\python3 " + unixScript + unixHome + L"\"" +
                     std::filesystem::path(user).wstring() + L"\" \"" +
                     std::filesystem::path(password).wstring() + L"\" 0 " + UnixPath(control) +
                     (mlsd ? L"mlsd" : L"list"));
        const std::filesystem::path portFile = control.string() + ".port";
        if (WaitUntil([&] { return std::filesystem::exists(portFile); }, 60000)) {
            port = static_cast<unsigned>(std::stoul(ReadFileBytes(portFile)));
        }
    }
    ~FtpServer() { Stop(); }
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    // False where no python3 with pyftpdlib runs (tests skip then).
    bool Running() const { return port != 0 && !stopped; }
    unsigned Port() const { return port; }
    // Lets the "held" downloads go on.
    void Release() { WriteFileBytes(control.string() + ".release", ""); }
    // Stops it and waits until it no longer listens.
    void Stop() {
        if (port == 0 || stopped) return;
        stopped = true;
        WriteFileBytes(control.string() + ".stop", "");
        WaitUntil([&] { return std::filesystem::exists(control.string() + ".ended"); }, 10000);
    }

private:
    std::filesystem::path control;  // <control>.port, .release, .stop, .ended
    unsigned port = 0;
    bool stopped = false;
};
