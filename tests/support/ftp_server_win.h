// A real FTP server for one test: Debian's pyftpdlib, run by /usr/bin/python3 from under Wine.
#pragma once
// On 127.0.0.1 with one user, serving a folder of the test; it ends with its owner, or after 15
// minutes whatever happens to the test.

#include <filesystem>
#include <string>

// What a folder holds, to compare a served folder with a watched one: "a/b.txt=<content>" files and
// "a/" folders, sorted, blank-separated.
std::string FolderTree(const std::filesystem::path& root);

class FtpServer {
public:
    // Serves `home` at a free port (or at `port`), at most `bytesPerSecond` in each data transfer
    // when that is not 0.
    FtpServer(std::filesystem::path home, std::string user, std::string password,
              unsigned bytesPerSecond = 0, unsigned port = 0);
    ~FtpServer() { Stop(); }
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    // False where no python3 with pyftpdlib runs (tests skip then).
    bool Running() const { return port != 0 && !stopped; }
    unsigned Port() const { return port; }
    // Stops it and waits until it no longer listens.
    void Stop();

private:
    std::filesystem::path control;  // <control>.port, .stop, .ended
    unsigned port = 0;
    bool stopped = false;
};
