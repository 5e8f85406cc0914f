// Debian's own FTP servers for one test: vsftpd or proftpd, as scripts/setup.sh unpacks them into
#pragma once
// /opt/pellaro-ftp-servers, run as Linux processes from under Wine by a python3 launcher. Each
// listens on a free port of 127.0.0.1 with a configuration of the test's own, serves one folder
// with write access for one login, optionally over explicit TLS with a certificate for 127.0.0.1
// from a test CA, logs every command it takes, and ends with its owner (or after 15 minutes).

#include <filesystem>
#include <string>

#include "support/ftp_server_win.h"
#include "support/process_win.h"
#include "support/temp_dir.h"

namespace debian_ftp_detail {

inline constexpr char kServersFolder[] = "/opt/pellaro-ftp-servers";

inline constexpr char kLauncher[] = R"(import os, socket, subprocess, sys, time
kind, servers, home, user, password, control, security = sys.argv[1:8]
# Wine names its drives by links with a colon ("dosdevices/c:"), which no user file can hold.
home = os.path.realpath(home)
open(control + ".home", "w").write(home)
end = time.time() + 900
tls = security == "tls"
root = os.path.join(servers, kind)
log = control + ".log"
def openssl(*args, **more):
    return subprocess.run(["openssl"] + list(args), capture_output=True, text=True, check=True,
                          **more).stdout
if tls:
    # A test CA (<control>.ca.pem) and the server's certificate for 127.0.0.1, signed by it.
    ca, key, cert = control + ".ca.pem", control + ".key.pem", control + ".cert.pem"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-keyout",
            control + ".ca.key", "-out", ca, "-subj", "/CN=Test CA", "-addext",
            "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", control + ".csr",
            "-subj", "/CN=127.0.0.1")
    open(control + ".ext", "w").write("basicConstraints=critical,CA:FALSE\n"
                                      "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", control + ".csr", "-CA", ca, "-CAkey", control + ".ca.key",
            "-set_serial", str(time.time_ns()), "-days", "30", "-extfile", control + ".ext",
            "-out", cert)
    printed = openssl("x509", "-in", cert, "-noout", "-fingerprint", "-sha256")
    open(control + ".fingerprint", "w").write(printed.strip().split("=", 1)[1])
def write(path, lines):
    if path.endswith(".conf") and os.path.exists(control + ".extra"):  # the test's own lines
        lines += open(control + ".extra").read().splitlines()
    open(path, "w").write("\n".join(lines) + "\n")
    return path
def vsftpd(port):
    # The anonymous login with a password from a list: one login without PAM or a system user.
    # Started by root as its launching user, vsftpd confines no session: "/" is the machine's.
    write(control + ".passwords", [password])
    lines = ["listen=YES", "listen_address=127.0.0.1", "listen_port=%d" % port, "background=NO",
             "run_as_launching_user=YES", "ftp_username=root", "seccomp_sandbox=NO",
             "anonymous_enable=YES", "local_enable=NO", "write_enable=YES", "anon_upload_enable=YES",
             "anon_mkdir_write_enable=YES", "anon_other_write_enable=YES",
             "anon_world_readable_only=NO", "anon_umask=022", "anon_root=" + home,
             "secure_email_list_enable=YES", "email_password_file=" + control + ".passwords",
             "xferlog_enable=YES", "xferlog_std_format=NO", "log_ftp_protocol=YES",
             "vsftpd_log_file=" + log]
    if tls:  # Wine's TLS resumes no session on a data connection: no reuse required
        lines += ["ssl_enable=YES", "rsa_cert_file=" + cert, "rsa_private_key_file=" + key,
                  "allow_anon_ssl=YES", "force_anon_logins_ssl=YES", "force_anon_data_ssl=YES",
                  "require_ssl_reuse=NO", "ssl_ciphers=HIGH"]
    return [os.path.join(root, "usr/sbin/vsftpd"), write(control + ".conf", lines)]
def proftpd(port):
    users = control + ".users"
    hashed = openssl("passwd", "-6", "-stdin", input=password).strip()
    write(users, ["%s:%s:0:0::%s:/bin/sh" % (user, hashed, home)])
    os.chmod(users, 0o600)  # proftpd refuses a user file that others can read
    lines = ["ServerType standalone", "ServerName test", "DefaultAddress 127.0.0.1",
             "SocketBindTight on", "UseIPv6 off", "Port %d" % port, "User root", "Group root",
             "RootLogin on", "ModulePath " + os.path.join(root, "usr/lib/proftpd"),
             "PidFile " + control + ".pid", "ScoreboardFile " + control + ".scoreboard",
             "DelayTable none", "WtmpLog off", "UseReverseDNS off", "AuthOrder mod_auth_file.c",
             "AuthUserFile " + users, "RequireValidShell off", "DefaultRoot ~", "Umask 022",
             "AllowOverwrite on", "SystemLog " + control + ".system.log", "TransferLog none",
             'LogFormat commands "%r"', "ExtendedLog %s ALL commands" % log]
    if tls:  # Wine's TLS resumes no session on a data connection: no reuse required
        lines += ["LoadModule mod_tls.c", "TLSEngine on", "TLSRequired on",
                  "TLSProtocol TLSv1.2 TLSv1.3", "TLSRSACertificateFile " + cert,
                  "TLSRSACertificateKeyFile " + key, "TLSLog " + control + ".tls.log",
                  "TLSOptions NoSessionReuseRequired"]
    return [os.path.join(root, "usr/sbin/proftpd"), "-n", "-q", "-c",
            write(control + ".conf", lines)]
def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False
for attempt in range(5):  # a free port may be taken by another before the server binds it
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    server = subprocess.Popen(vsftpd(port) if kind == "vsftpd" else proftpd(port),
                              stdin=subprocess.DEVNULL, stdout=open(control + ".out", "ab"),
                              stderr=subprocess.STDOUT)
    while server.poll() is None and not listening(port) and time.time() < end:
        time.sleep(0.05)
    if server.poll() is None:
        open(control + ".part", "w").write(str(port))
        os.replace(control + ".part", control + ".port")
        break
while server.poll() is None and not os.path.exists(control + ".stop") and time.time() < end:
    time.sleep(0.05)
if server.poll() is None:
    server.terminate()
    server.wait()
open(control + ".ended", "w").close()
)";

}  // namespace debian_ftp_detail

enum class DebianFtp { kVsftpd, kProftpd };

class DebianFtpServer {
public:
    // Serves `home`, a folder of the test, for the login User() with `password`; with `tls`, only
    // over explicit TLS (AUTH TLS, then PROT P for every transfer). `extra` lines go to the end
    // of the server's configuration file.
    DebianFtpServer(DebianFtp kind, const std::filesystem::path& home, const std::string& password,
                    bool tls = false, const std::string& extra = "")
        : kind(kind) {
        using ftp_server_detail::UnixPath;
        if (!Installed(kind)) return;
        static int serial = 0;
        control = home.parent_path() / (std::string(Name(kind)) + "-" + std::to_string(++serial));
        const std::filesystem::path script = control.string() + ".py";
        WriteFileBytes(script, debian_ftp_detail::kLauncher);
        if (!extra.empty()) WriteFileBytes(control.string() + ".extra", extra);
        const std::wstring unixScript = UnixPath(script), unixHome = UnixPath(home);
        if (unixScript.empty() || unixHome.empty()) return;
        // As with the pyftpdlib server, no handle of the Linux process comes back to Wine: the
        // control files are all there is between the two.
        StartProcess(L"Z:\\usr\\bin\\python3 " + unixScript + ToWideString(Name(kind)) + L" " +
                     ToWideString(debian_ftp_detail::kServersFolder) + L" " + unixHome + L"\"" +
                     ToWideString(User()) + L"\" \"" + ToWideString(password) + L"\" " +
                     UnixPath(control) + (tls ? L"tls" : L"plain"));
        const std::filesystem::path portFile = control.string() + ".port";
        if (WaitUntil([&] { return std::filesystem::exists(portFile); }, 60000)) {
            port = static_cast<unsigned>(std::stoul(ReadFileBytes(portFile)));
        }
    }
    ~DebianFtpServer() { Stop(); }
    DebianFtpServer(const DebianFtpServer&) = delete;
    DebianFtpServer& operator=(const DebianFtpServer&) = delete;

    static const char* Name(DebianFtp kind) {
        return kind == DebianFtp::kVsftpd ? "vsftpd" : "proftpd";
    }
    // Whether setup.sh has unpacked the server (tests skip without it).
    static bool Installed(DebianFtp kind) {
        return std::filesystem::exists(std::string("Z:") + debian_ftp_detail::kServersFolder + "/" +
                                       Name(kind) + "/usr/sbin/" + Name(kind));
    }
    bool Running() const { return port != 0 && !stopped; }
    unsigned Port() const { return port; }
    // vsftpd's one login with a password is the anonymous one.
    std::string User() const { return kind == DebianFtp::kVsftpd ? "anonymous" : "pel"; }
    // The served folder as the login sees it: proftpd confines the login to it; vsftpd does not,
    // so there it is the folder's own Linux path.
    std::string Folder() const {
        return kind == DebianFtp::kProftpd ? "/" : ReadFileBytes(control.string() + ".home");
    }
    // The test CA's certificate (PEM) and the SHA-256 fingerprint ("AB:CD:..") of the server's.
    std::filesystem::path CaFile() const { return control.string() + ".ca.pem"; }
    std::string Fingerprint() const { return ReadFileBytes(control.string() + ".fingerprint"); }
    // The server's own log, with a line for every command it took.
    std::string Log() const { return ReadFileBytes(control.string() + ".log"); }
    // Stops it and waits until it no longer listens.
    void Stop() {
        if (port == 0 || stopped) return;
        stopped = true;
        WriteFileBytes(control.string() + ".stop", "");
        WaitUntil([&] { return std::filesystem::exists(control.string() + ".ended"); }, 10000);
    }

private:
    DebianFtp kind;
    std::filesystem::path control;  // <control>.port, .log, .ca.pem, .stop, .ended
    unsigned port = 0;
    bool stopped = false;
};
