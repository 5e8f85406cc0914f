// Catches: an FTP listing line read with a name cut, padded or guessed (blanks in names), a line
// that cannot be read taken as no entry, replies cut in the wrong place, and FTP failures given
// the wrong status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/plftp/ftp_listing.h"
#include "tools/plftp/tool_status.h"

namespace {

// "name|f" a file, "name|d" a folder, "name|l" a link, with "|size" for files; "" a skipped
// line, "?" an unreadable one.
std::string Read(std::string_view line, bool mlsd) {
    FtpListedEntry entry;
    const FtpLine kind = mlsd ? ParseMlsdLine(line, entry) : ParseListLine(line, entry);
    if (kind != FtpLine::kEntry) return kind == FtpLine::kSkip ? "" : "?";
    if (entry.link) return "[" + entry.name + "]|l";
    if (entry.folder) return "[" + entry.name + "]|d";
    return "[" + entry.name + "]|f|" + std::to_string(entry.size);
}

}  // namespace

TEST(PlftpListing, LinesKeepNamesAsTheServerSendsThem) {
    const struct {
        bool mlsd;
        const char* line;
        const char* read;
    } rows[] = {
        {true, "type=file;size=7;modify=20240102030405; two  spaces.txt\r",
         "[two  spaces.txt]|f|7"},
        {true, "type=dir;modify=20240102030405;perm=el;  lead and trail  ",
         "[ lead and trail  ]|d"},
        {true, "type=OS.unix=slink:/etc;size=4; link", "[link]|l"},
        {true, "type=cdir; .", ""},
        {true, "type=file; nosize", "?"},  // a file's size is never guessed
        {true, "size=1; untyped", "?"},
        {true, "type=file;size=1; a/b", "?"},
        {true, "type=dir; a\rDELE x", "?"},  // a line end would end a command naming it
        {false, "-rw-r--r--   1 owner group        12 Jan 02 03:04 meeting notes.txt",
         "[meeting notes.txt]|f|12"},
        {false, "-rw-r--r--   1 owner group        12 Jan 02  2023  lead.txt", "[ lead.txt]|f|12"},
        {false, "drwxr-xr-x   2 owner group      4096 Dec 31 23:59 my docs ", "[my docs ]|d"},
        {false, "-rw-r--r-- 1 owner 5 Feb 9 12:00 no group  two", "[no group  two]|f|5"},
        {false, "lrwxrwxrwx   1 o g 7 Mar 01 10:00 short cut -> /far away", "[short cut]|l"},
        {false, "total 12", ""},
        {false, "-rw-r--r--   1 owner group   12 Jan 02 03:04", "?"},
        {false, "ls: cannot open directory", "?"},
        {false, "01-02-24  03:04PM       <DIR>          my docs", "[my docs]|d"},
        {false, "01-02-24  03:04PM       <DIR>            two lead", "[  two lead]|d"},
        {false, "01-02-2024  11:59AM                 1234 two  spaces.txt",
         "[two  spaces.txt]|f|1234"},
        {false, "01/02/24 09:00 <DIR> plain", "[plain]|d"},
        {false, "01-02-24  03:04PM  size name", "?"},
    };
    for (const auto& row : rows) EXPECT_EQ(Read(row.line, row.mlsd), row.read) << row.line;

    // One unreadable line makes the whole listing fail.
    std::vector<FtpListedEntry> entries;
    std::string bad;
    EXPECT_TRUE(ParseFtpListing("type=file;size=1; a\r\ntype=dir; b\r\n", true, entries, bad));
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_FALSE(ParseFtpListing("total 1\r\n-rw 1 x\r\n", false, entries, bad));
    EXPECT_EQ(bad, "-rw 1 x\r");
}

TEST(PlftpListing, RepliesAndTheirNumbers) {
    CFtpReplyReader reader;
    FtpReply reply;
    reader.Add("211-Features:\r\n MLST type*;size*;modify*;\r\n UTF8\r\n211 En");
    EXPECT_FALSE(reader.Next(reply));
    reader.Add("d\r\n150 Here\r\n226 Done\r\nx");
    ASSERT_TRUE(reader.Next(reply));
    EXPECT_EQ(reply.code, 211);
    const FtpFeatures features = ParseFeatures(reply.text);
    EXPECT_TRUE(features.mlsd && features.utf8 && !features.mfmt);
    ASSERT_TRUE(reader.Next(reply));
    EXPECT_EQ(reply.code, 150);
    ASSERT_TRUE(reader.Next(reply));
    EXPECT_EQ(reply.text, "226 Done");
    EXPECT_FALSE(reader.Next(reply));
    reader.Add("garbage\r\n");
    ASSERT_TRUE(reader.Next(reply));
    EXPECT_EQ(reply.code, 0);
    EXPECT_FALSE(ParseFeatures("211-Features:\n SIZE\n MDTM\n211 End").mlsd);
    EXPECT_TRUE(ParseFeatures("211-Features:\n MFMT\n211 End").mfmt);

    const struct {
        const char* reply;
        int port;  // 0: refused
    } ports[] = {{"227 Entering Passive Mode (127,0,0,1,195,80).", 50000},
                 {"229 Extended (|||2121|)", 2121},
                 {"227 (127,0,0,1,256,1)", 0},
                 {"500 no", 0}};
    for (const auto& row : ports) {
        uint16_t port = 0;
        EXPECT_EQ(ParsePassivePort(row.reply, port) ? port : 0, row.port) << row.reply;
    }

    const struct {
        const char* text;
        int64_t seconds;  // since 1601, -1 refused
    } times[] = {{"16010101000000", 0},
                 {"19700101000000", 11644473600},
                 {"20240229235959.123", 13353724799},
                 {"20230229000000", -1},
                 {"20240101000000x", -1}};
    for (const auto& row : times) {
        int64_t ticks = -1;
        EXPECT_EQ(ParseFtpTime(row.text, ticks) ? ticks / 10'000'000 : -1, row.seconds) << row.text;
    }
    uint64_t size = 0;
    EXPECT_TRUE(ParseSizeReply("213 18446744073709551615", size) && size == UINT64_MAX);
    EXPECT_FALSE(ParseSizeReply("213 18446744073709551616", size));
}

// A reset or lost connection ends the run with -1010 however it is reported; only 550 says a
// folder is missing.
TEST(PlftpListing, FailuresMapToTheStatusTable) {
    const struct {
        uint32_t error;
        const char* reply;
        int32_t status;
    } rows[] = {
        {10054, "", kToolNoServer},  // the socket reset (WSAECONNRESET)
        {10061, "", kToolNoServer},  // cannot connect
        {10060, "", kToolNoServer},  // no answer in time
        {0, "421 Timeout", kToolNoServer}, {0, "550 No such file", kToolWriteError},
        {2, "", kToolWriteError},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(FtpFailureStatus(kToolWriteError, row.error, row.reply), row.status) << row.error;
    }
    EXPECT_EQ(FolderChangeStatus("550 No such file or directory."), kToolInvalidRemoteDir);
    EXPECT_EQ(FolderChangeStatus("501 Syntax error."), kToolReadError);
    EXPECT_EQ(FolderChangeStatus("421 Closing."), kToolNoServer);
}
