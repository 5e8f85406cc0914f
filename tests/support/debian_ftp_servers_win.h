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
end, tls, log, root = time.time() + 900, security == "tls", control + ".log", servers + "/" + kind
ca, key, cert = control + ".ca.pem", control + ".key.pem", control + ".cert.pem"
def openssl(*args, **more):
    return subprocess.run(("openssl",) + args, capture_output=True, text=True, check=True,
                          **more).stdout
if tls:  # a test CA (<control>.ca.pem) that signs the server's certificate for 127.0.0.1
    new = ("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-addext")
    openssl(*new, "keyUsage=critical,keyCertSign,cRLSign", "-subj", "/CN=Test CA", "-keyout",
            control + ".ca.key", "-out", ca)
    openssl(*new, "subjectAltName=IP:127.0.0.1", "-addext", "extendedKeyUsage=serverAuth",
            "-addext", "basicConstraints=critical,CA:FALSE", "-subj", "/CN=127.0.0.1", "-keyout",
            key, "-out", cert, "-CA", ca, "-CAkey", control + ".ca.key")
def write(path, lines):  # a configuration file ends with the test's own lines
    extra = control + ".extra"
    lines += open(extra).read().splitlines() if os.path.exists(extra) else []
    open(path, "w").write("\n".join(lines) + "\n")
    return path
def vsftpd(port):
    # The anonymous login with a password from a list: one login without PAM or a system user.
    # Started by root as its launching user, vsftpd confines no session: "/" is the machine's.
    open(control + ".passwords", "w").write(password + "\n")
    lines = ("listen=YES listen_address=127.0.0.1 background=NO run_as_launching_user=YES "
             "ftp_username=root seccomp_sandbox=NO anonymous_enable=YES local_enable=NO "
             "write_enable=YES anon_upload_enable=YES anon_mkdir_write_enable=YES "
             "anon_other_write_enable=YES anon_world_readable_only=NO anon_umask=022 "
             "secure_email_list_enable=YES xferlog_enable=YES xferlog_std_format=NO "
             "log_ftp_protocol=YES").split()
    lines += ["listen_port=%d" % port, "anon_root=" + home, "vsftpd_log_file=" + log,
              "email_password_file=" + control + ".passwords"]
    if tls:  # Wine's TLS resumes no session on a data connection: no reuse required
        lines += ["rsa_cert_file=" + cert, "rsa_private_key_file=" + key] + (
            "ssl_enable=YES allow_anon_ssl=YES force_anon_logins_ssl=YES force_anon_data_ssl=YES "
            "require_ssl_reuse=NO ssl_ciphers=HIGH").split()
    return [root + "/usr/sbin/vsftpd", write(control + ".conf", lines)]
def proftpd(port):
    hashed = openssl("passwd", "-6", "-stdin", input=password).strip()
    open(control + ".users", "w").write("%s:%s:0:0::%s:/bin/sh\n" % (user, hashed, home))
    os.chmod(control + ".users", 0o600)  # proftpd refuses a user file that others can read
    lines = ("ServerType standalone;DefaultAddress 127.0.0.1;SocketBindTight on;User root;"
             "Group root;RootLogin on;DelayTable none;WtmpLog off;UseReverseDNS off;"
             "AuthOrder mod_auth_file.c;RequireValidShell off;DefaultRoot ~;Umask 022;"
             "AllowOverwrite on;TransferLog none;LogFormat commands \"%r\"").split(";")
    lines += ["Port %d" % port, "ModulePath " + root + "/usr/lib/proftpd", "PidFile " + control +
              ".pid", "ScoreboardFile " + control + ".scoreboard", "AuthUserFile " + control +
              ".users", "SystemLog " + control + ".system.log", "ExtendedLog " + log + " ALL commands"]
    if tls:  # Wine's TLS resumes no session on a data connection: no reuse required
        lines += ["LoadModule mod_tls.c", "TLSEngine on", "TLSRequired on",
                  "TLSProtocol TLSv1.2 TLSv1.3", "TLSOptions NoSessionReuseRequired",
                  "TLSRSACertificateFile " + cert, "TLSRSACertificateKeyFile " + key,
                  "TLSLog " + control + ".tls.log"]
    return [root + "/usr/sbin/proftpd", "-n", "-q", "-c", write(control + ".conf", lines)]
for attempt in range(5):  # a free port may be taken by another before the server binds it
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    server = subprocess.Popen(vsftpd(port) if kind == "vsftpd" else proftpd(port),
                              stdin=subprocess.DEVNULL, stdout=open(control + ".out", "ab"),
                              stderr=subprocess.STDOUT)
    while server.poll() is None and socket.socket().connect_ex(("127.0.0.1", port)) != 0:
        time.sleep(0.05)
    if server.poll() is None:
        open(control + ".part", "w").write(str(port))
        os.replace(control + ".part", control + ".port")
        break
while server.poll() is None and not os.path.exists(control + ".stop") and time.time() < end:
    time.sleep(0.05)
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
    // The test CA's certificate (PEM), which signed the server's.
    std::filesystem::path CaFile() const { return control.string() + ".ca.pem"; }
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
