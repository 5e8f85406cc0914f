// A real FTP server for one test: Debian's pyftpdlib, run by /usr/bin/python3 from under Wine.
#pragma once
// On 127.0.0.1 with one user, serving a folder of the test; it ends with its owner, or after 15
// minutes whatever happens to the test. A download of a file whose name starts with "cut" is cut
// after a third and ended with 426, as a server that aborts a transfer does; one whose name starts
// with "held" waits until the test releases it (the whole server waits with it). An upload of a
// file whose name (or its temporary name, "~" and the name) starts with "refused" is refused
// with 550, and one of a file whose name starts with "drop" ends its connection unanswered. With
// PELLARO_FTP_TRACE=<prefix> in the environment, each command's time and its connection (the
// client's port) go to <prefix>-<port>.log. A server given a distance (`delayMs`) stands that far
// away: each reply leaves no sooner than that after what it answers came in (a command, or an
// upload's last bytes), so replies to commands sent together are not delayed one after another, as
// on a network; it then serves each connection in a thread of its own.

#include <windows.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/process_win.h"
#include "support/temp_dir.h"

namespace ftp_server_detail {

inline constexpr char kServerScript[] = R"(import logging, os, socket, sys, time
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer, ThreadedFTPServer
home, user, password, port, control, listing, security, delay = sys.argv[1:9]
delay = int(delay) / 1000.0
logging.basicConfig(level=logging.WARNING)
end = time.time() + 900
def flag(name):  # a one-off fault the test asked for: <control>.<name>, taken when used
    try:
        os.remove(control + "." + name)
        return True
    except OSError:
        return False
def make_certificates():
    # A test CA (<control>.ca.pem) and the server's certificate for 127.0.0.1, or one that fails
    # a check: signed by another CA, made out for another name, or expired.
    import datetime, ipaddress
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
    now = datetime.datetime.utcnow()
    day = datetime.timedelta(days=1)
    def named(cn): return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
    def build(subject, key, issuer, issuer_key, ca, begins, ends, names=None):
        b = (x509.CertificateBuilder().subject_name(named(subject)).issuer_name(named(issuer))
             .public_key(key.public_key()).serial_number(x509.random_serial_number())
             .not_valid_before(begins).not_valid_after(ends)
             .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
        if names is not None:
            b = b.add_extension(x509.SubjectAlternativeName(names), critical=False)
            b = b.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        return b.sign(issuer_key, hashes.SHA256())
    keys = [rsa.generate_private_key(public_exponent=65537, key_size=2048) for _ in range(3)]
    trusted = build("Test CA", keys[0], "Test CA", keys[0], True, now - day, now + 30 * day)
    other = build("Other CA", keys[1], "Other CA", keys[1], True, now - day, now + 30 * day)
    issuer, issuer_key = (other, keys[1]) if security == "otherca" else (trusted, keys[0])
    names = [x509.DNSName("elsewhere.example")] if security == "wrongname" else [
        x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.DNSName("localhost")]
    begins, ends = (now - 60 * day, now - 30 * day) if security == "expired" else (now - day, now + 30 * day)
    cert = build("127.0.0.1", keys[2], issuer.subject.rfc4514_string()[3:], issuer_key, False, begins, ends, names)
    pem = lambda c: c.public_bytes(serialization.Encoding.PEM)
    open(control + ".ca.pem", "wb").write(pem(trusted))
    open(control + ".cert.pem", "wb").write(pem(cert) + pem(issuer))
    open(control + ".key.pem", "wb").write(keys[2].private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
        serialization.NoEncryption()))
    open(control + ".fingerprint", "w").write(cert.fingerprint(hashes.SHA256()).hex(":").upper())
tls = security != "plain"
BaseHandler, BaseDTP = (TLS_FTPHandler, TLS_DTPHandler) if tls else (FTPHandler, DTPHandler)
BaseHandler.authorizer = DummyAuthorizer()
BaseHandler.authorizer.add_user(user, password, home, perm="elradfmwMT")
class CuttingDTPHandler(BaseDTP):
    # A download of a file whose name starts with "cut" ends after a third with 426, an upload
    # after 64 KiB; one whose name starts with "held" waits for <control>.release (or .stop).
    # With <control>.cut-handshake, the next encrypted data connection is closed at once.
    def __init__(self, sock, cmd_channel):
        if tls and cmd_channel._prot and flag("cut-handshake"):
            sock.shutdown(socket.SHUT_RDWR)
        BaseDTP.__init__(self, sock, cmd_channel)
    def send(self, data):
        f = getattr(self, "file_obj", None)
        name = os.path.basename(f.name) if f is not None and not self.receive else ""
        while name.startswith("held") and time.time() < end and not any(
                os.path.exists(control + ending) for ending in (".release", ".stop")):
            time.sleep(0.05)
        sent = BaseDTP.send(self, data)
        if name.startswith("cut"):
            if self.get_transmitted_bytes() * 3 >= os.fstat(f.fileno()).st_size:
                self.handle_close()
        return sent
    def handle_read_event(self):
        self.cmd_channel.came = time.monotonic()  # an upload's end is answered a distance later
        BaseDTP.handle_read_event(self)
        f = getattr(self, "file_obj", None)
        if (f is not None and self.receive and not self._closed and self.tot_bytes_received >= 65536
                and os.path.basename(f.name).lstrip("~").startswith("cut")):
            self.transfer_finished = False
            self._resp = ("426 Cut by the test.", logging.debug)
            self.close()
    def use_sendfile(self):
        return False
class TestFTPHandler(BaseHandler):
    commands = None
    def pre_process_command(self, line, cmd, arg):  # the server's log: every command's name
        self.commands.write(cmd + "\n")
        return BaseHandler.pre_process_command(self, line, cmd, arg)
    def ftp_STOR(self, file, mode="w"):
        if os.path.basename(file).lstrip("~").startswith("refused"):
            self.respond("550 Refused by the test.")
            return
        if os.path.basename(file).lstrip("~").startswith("drop"):  # this connection ends, unanswered
            self.close()
            return
        return BaseHandler.ftp_STOR(self, file, mode)
    def ftp_AUTH(self, line):
        if flag("cut-auth"):
            self.respond("234 AUTH TLS successful.")
            self.close()
            return
        return BaseHandler.ftp_AUTH(self, line)
    def ftp_PROT(self, line):
        if security == "noprot":
            self.respond("536 Requested PROT level not supported by mechanism.")
            return
        return BaseHandler.ftp_PROT(self, line)
TestFTPHandler.dtp_handler = CuttingDTPHandler
TestFTPHandler.use_sendfile = False
if tls:
    make_certificates()
    TestFTPHandler.certfile = control + ".cert.pem"
    TestFTPHandler.keyfile = control + ".key.pem"
    TestFTPHandler.tls_control_required = True
    TestFTPHandler.tls_data_required = security != "noprot"
if listing == "list":  # a server that lists with LIST only, and says so in FEAT
    TestFTPHandler.proto_cmds = {k: v for k, v in BaseHandler.proto_cmds.items() if k not in ("MLSD", "MLST")}
TestFTPHandler.commands = open(control + ".commands", "w", buffering=1)
handler = TestFTPHandler
if os.environ.get("PELLARO_FTP_TRACE"):  # "<time> <client port> <command>" lines: where time goes
    class TracingFTPHandler(TestFTPHandler):
        trace = None
        def pre_process_command(self, line, cmd, arg):
            self.trace.write("%.6f %d %s\n" % (time.perf_counter(), self.remote_port, cmd))
            return TestFTPHandler.pre_process_command(self, line, cmd, arg)
    handler = TracingFTPHandler
if delay:
    Near = handler
    class DistantFTPHandler(Near):
        # A reply waits in `due` until its time, while the connection goes on reading: what came in
        # meanwhile is stamped as it came. AUTH's reply goes before the session starts.
        def __init__(self, *args, **kwargs):
            self.came, self.due = time.monotonic(), []
            Near.__init__(self, *args, **kwargs)
        def handle_read(self):
            self.came = time.monotonic()
            Near.handle_read(self)
        def push(self, data):
            self.due.append((max([self.came + delay] + [at for at, _ in self.due[-1:]]), data))
            if str(data).lstrip("b'").startswith("234"):
                time.sleep(max(0.0, self.due[-1][0] - time.monotonic()))
                self.send_due()
            else:
                self.ioloop.call_later(max(0.0, self.due[-1][0] - time.monotonic()), self.send_due)
        def send_due(self):
            while self.due and self.due[0][0] <= time.monotonic() + 0.001 and not self._closed:
                Near.push(self, self.due.pop(0)[1])
        def close_when_done(self):
            if self.due and not self._closed:
                self.ioloop.call_later(max(0.0, self.due[-1][0] - time.monotonic()) + 0.002, self.close_when_done)
            else:
                Near.close_when_done(self)
    handler = DistantFTPHandler
server = (ThreadedFTPServer if delay else FTPServer)(("127.0.0.1", int(port)), handler)
if os.environ.get("PELLARO_FTP_TRACE"):
    TracingFTPHandler.trace = open("%s-%d.log" % (os.environ["PELLARO_FTP_TRACE"], server.address[1]), "w", buffering=1)
open(control + ".part", "w").write(str(server.address[1]))
os.replace(control + ".part", control + ".port")
while not os.path.exists(control + ".stop") and time.time() < end:
    if os.path.exists(control + ".most"):  # logins beyond the number there are refused with 421
        server.max_cons_per_ip = int(open(control + ".most").read())
        os.replace(control + ".most", control + ".most-taken")
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

// What the server offers: clear text, or explicit TLS with a certificate for 127.0.0.1 from the
// test CA (CaFile()), or one that fails a check, or TLS whose transfers stay in clear (PROT P
// refused).
enum class FtpSecurity { kPlain, kTls, kOtherCa, kWrongName, kExpired, kNoProt };

class FtpServer {
public:
    // Serves `home` at a free port; without `mlsd`, folders are listed with LIST only.
    FtpServer(std::filesystem::path home, std::string user, std::string password, bool mlsd = true,
              FtpSecurity security = FtpSecurity::kPlain, unsigned delayMs = 0) {
        constexpr const wchar_t* kSecurity[] = {L" plain",     L" tls",     L" otherca",
                                                L" wrongname", L" expired", L" noprot"};
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
                     (mlsd ? L"mlsd" : L"list") + kSecurity[static_cast<int>(security)] + L" " +
                     std::to_wstring(delayMs));
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
    // The test CA's certificate (PEM) and the SHA-256 fingerprint of the server's own ("AB:..").
    std::filesystem::path CaFile() const { return control.string() + ".ca.pem"; }
    std::string Fingerprint() const { return ReadFileBytes(control.string() + ".fingerprint"); }
    // The name of each command the server took, one a line.
    std::string Commands() const { return ReadFileBytes(control.string() + ".commands"); }
    // The next AUTH TLS is answered and its connection closed before the handshake; the next
    // encrypted data connection is closed at once.
    void CutNextHandshake(bool data) {
        WriteFileBytes(control.string() + (data ? ".cut-handshake" : ".cut-auth"), "");
    }
    // A connection beyond `most` at once is refused (421) from now on.
    void LimitConnections(unsigned most) {
        WriteFileBytes(control.string() + ".most", std::to_string(most));
        WaitUntil([&] { return std::filesystem::exists(control.string() + ".most-taken"); }, 10000);
    }
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
