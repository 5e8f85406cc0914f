#pragma once
// What an FTP server says, read by plftp itself: the replies on a control
// connection, the FEAT list, the passive-mode port, the SIZE and MDTM
// answers, and folder listings (MLSD facts, or LIST in the Unix
// "ls -l" form or the DOS form). A name is kept byte for byte as the server
// sends it: blanks anywhere in it, several in a row, at its start or its end
// are part of the name. A listing line that cannot be read is never guessed
// at: the whole listing fails, so nothing in that folder is deleted.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct FtpListedEntry {
    std::string name;  // the server's bytes
    bool folder = false;
    bool link = false;
    uint64_t size = 0;
    int64_t modified = 0;  // UTC FILETIME ticks, to the second; 0 when the line has none
};

enum class FtpLine : uint8_t { kEntry, kSkip, kUnreadable };

// One line of an MLSD reply ("type=file;size=3;modify=20240102030405; name").
FtpLine ParseMlsdLine(std::string_view line, FtpListedEntry& entry);
// One line of a LIST reply: "-rw-r--r-- 1 u g 3 Jan 02 03:04 name" or
// "01-02-24  03:04AM  3 name" / "... <DIR> name". LIST times are left out
// (minutes at best, years guessed): MDTM asks for them when they matter.
FtpLine ParseListLine(std::string_view line, FtpListedEntry& entry);
// Every entry of a listing's data ("\r\n" or "\n" ends a line). False, with
// the line in `unreadable`, when one line cannot be read.
bool ParseFtpListing(std::string_view data, bool mlsd, std::vector<FtpListedEntry>& entries,
                     std::string& unreadable);

struct FtpReply {
    int code = 0;      // 0: the server sent something that is no reply
    std::string text;  // all its lines, "\n" between them
};

// Cuts the bytes of a control connection into replies, multi-line ones
// ("211-..." up to "211 ...") whole.
class CFtpReplyReader {
public:
    void Add(std::string_view bytes) { pending.append(bytes); }
    // The next complete reply; false while it has not all arrived.
    bool Next(FtpReply& reply);

private:
    std::string pending;
    FtpReply partial;
};

struct FtpFeatures {
    bool mlsd = false;  // MLST announced: MLSD lists folders with facts
    bool utf8 = false;
    bool mfmt = false;  // MFMT sets a file's time
};
FtpFeatures ParseFeatures(std::string_view featReply);

// The data port of a 227 (PASV) or 229 (EPSV) reply. The address of a 227
// reply is not used: data goes to the server of the control connection.
bool ParsePassivePort(std::string_view reply, uint16_t& port);
// "213 <bytes>", the reply to SIZE.
bool ParseSizeReply(std::string_view reply, uint64_t& size);
// "YYYYMMDDHHMMSS[.fff]" (UTC, as MDTM and MLSD give it) as FILETIME ticks.
bool ParseFtpTime(std::string_view text, int64_t& ticks);

// The status a failed FTP call ends with: `status` (what the call itself
// fails with) unless the system error or the server's reply says the server
// is gone (kToolNoServer) or refused the login (kToolLoginRefused). `error`
// is the Winsock error number (0: the server replied).
int32_t FtpFailureStatus(int32_t status, uint32_t error, std::string_view reply);
// The status of a refused change into a folder: only 550 says it is not
// there; any other refusal is a folder that cannot be read.
int32_t FolderChangeStatus(std::string_view reply);
