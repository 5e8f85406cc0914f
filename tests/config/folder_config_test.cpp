#include "config/folder_config.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "app/text_conversion.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;

class FolderConfigTest : public StateTest {
protected:
    void TearDown() override {
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }

    // Writes the bytes as the folder's put configuration and reads it.
    void Read(const std::string& bytes) {
        WriteFileBytes(dir / "key_put.config", bytes);
        ReadMissing("key_put.config");
    }
    void ReadMissing(const std::string& name = "absent_put.config") {
        State().putConfigPath.Assign((dir / name).string());
        ReadFolderConfig();
    }

    TempDir dir;
    unsigned originalCodePage = CurrentAnsiCodePage();
};

std::string Str(const auto& field) { return std::string(field.Str()); }

TEST_F(FolderConfigTest, MissingEmptyOrUnrecognisedFilesGiveTheDefaults) {
    const std::string files[] = {
        "",
        "\n\n\n",
        // Keys match exactly from the first column, "=" included.
        "Sync_threshold=5\nsync_threshold =5\n sync_timestamp=300\nDIR=/x\nProtocol=smb\n"
        "protocol\nqueue 3\n# dir=/y\n[section]\nsync_thresholds=4\n",
    };
    for (bool missing : {true, false}) {
        for (const std::string& file : files) {
            State().Reset();
            // Start-up has taken verbose from the environment; text fields
            // hold leftovers that the reader must empty.
            State().verbose = 2;
            State().remoteDir.Assign("/stale");
            State().serverPort.Assign("21");
            State().password.Assign("secret");
            State().syncThreshold = 9;
            State().googleDriveMode = 1;
            if (missing) {
                ReadMissing();
            } else {
                Read(file);
            }
            const WatcherState& s = State();
            SCOPED_TRACE(missing ? "missing file" : "file: " + file);
            EXPECT_EQ(s.syncThreshold, 0);
            EXPECT_EQ(s.thresholdSync, 0);
            EXPECT_EQ(s.syncInterval, 0);
            EXPECT_EQ(s.intervalSync, 0);
            EXPECT_EQ(Str(s.remoteDir), "");
            EXPECT_EQ(s.remoteDirSet, 0);
            EXPECT_EQ(Str(s.serverPort), "");
            EXPECT_EQ(Str(s.password), "");
            EXPECT_EQ(Str(s.protocol), "");
            EXPECT_EQ(s.smbMode, 0);
            EXPECT_EQ(s.googleDriveMode, 0);
            EXPECT_EQ(s.verbose, 2);
            EXPECT_EQ(s.subFolders, 0);
            EXPECT_EQ(s.pipeRetries, 0);
            if (missing) break;
        }
    }
}

TEST_F(FolderConfigTest, ThresholdAndIntervalUseTheDecimalConversionAndAnyNonZeroTurnsTheModeOn) {
    struct {
        const char* value;
        int32_t number;
    } const cases[] = {
        {"0", 0},
        {"25", 25},
        {" 25", 25},
        {"\t 25", 25},
        {"300", 300},
        {"-3", -3},
        {"+7", 7},
        {"25abc", 25},
        {"abc", 0},
        {"", 0},
        {"  ", 0},
        {"- 5", 0},
        {"0x10", 0},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const auto& c : cases) {
        State().Reset();
        Read("sync_threshold="s + c.value + "\nsync_timestamp=" + c.value + "\n");
        EXPECT_EQ(State().syncThreshold, c.number) << '"' << c.value << '"';
        EXPECT_EQ(State().thresholdSync, c.number != 0) << '"' << c.value << '"';
        EXPECT_EQ(State().syncInterval, c.number) << '"' << c.value << '"';
        EXPECT_EQ(State().intervalSync, c.number != 0) << '"' << c.value << '"';
    }
}

TEST_F(FolderConfigTest, ParseIntSkipsBlanksTakesOneSignAndWrapsIn32Bits) {
    struct {
        const char* text;
        int32_t value;
    } const cases[] = {
        {"", 0},
        {"7", 7},
        {"  \t-12", -12},
        {"+5", 5},
        {"5x9", 5},
        {"x5", 0},
        {"--5", 0},
        {"+-5", 0},
        {"-", 0},
        {"\n5", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MIN},
        {"4294967295", -1},
        {"4294967297", 1},
        {"-2147483648", INT_MIN},
        {"007", 7},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseInt(c.text), c.value) << '"' << c.text << '"';
}

TEST_F(FolderConfigTest, VerboseSubAndQueueKeepTheirValueOnAnEmptyValueOnly) {
    struct {
        std::string file;
        int32_t verbose, sub, queue;
    } const cases[] = {
        // The environment gave verbose 2; sub and queue start at 0.
        {"verbose=\nsub=\nqueue=\n", 2, 0, 0},
        {"verbose=0\nsub=1\nqueue=3\n", 0, 1, 3},
        {"verbose= 1\nsub=-1\nqueue=4x\n", 1, -1, 4},
        {"verbose= \nsub=x\nqueue=\t\n", 0, 0, 0},
        {"verbose=5\nverbose=\n", 5, 0, 0},
        {"verbose=5\nverbose=1\n", 1, 0, 0},
        // A last line without its line feed still counts ...
        {"sub=1\nqueue=3", 2, 1, 3},
        // ... unless it is the key alone.
        {"queue=7\nqueue=", 2, 0, 7},
        {"queue=", 2, 0, 0},
    };
    for (const auto& c : cases) {
        State().Reset();
        State().verbose = 2;
        Read(c.file);
        EXPECT_EQ(State().verbose, c.verbose) << c.file;
        EXPECT_EQ(State().subFolders, c.sub) << c.file;
        EXPECT_EQ(State().pipeRetries, c.queue) << c.file;
    }
}

TEST_F(FolderConfigTest, TextKeysStoreTheWholeValueAndTheLastLineWins) {
    using Getter = std::function<std::string(const WatcherState&)>;
    struct {
        const char* key;
        Getter field;
    } const keys[] = {
        {"dir=", [](const WatcherState& s) { return Str(s.remoteDir); }},
        {"ip=", [](const WatcherState& s) { return Str(s.serverAddress); }},
        {"port=", [](const WatcherState& s) { return Str(s.serverPort); }},
        {"cmd=", [](const WatcherState& s) { return Str(s.configCmd); }},
        {"protocol=", [](const WatcherState& s) { return Str(s.protocol); }},
        {"encoding=", [](const WatcherState& s) { return Str(s.encoding); }},
        {"username=", [](const WatcherState& s) { return Str(s.userName); }},
        {"sizelimit=", [](const WatcherState& s) { return Str(s.sizeLimit); }},
        {"ignore=", [](const WatcherState& s) { return Str(s.ignorePatterns); }},
        {"ignore_dir=", [](const WatcherState& s) { return Str(s.ignoreDirPatterns); }},
    };
    struct {
        std::string lines;  // "K" stands for the key
        std::string value;
    } const cases[] = {
        {"K 12 3 \n", " 12 3 "},
        {"Ka=b=c\n", "a=b=c"},
        // A long value first, a shorter one after: nothing of the first stays.
        {"Klong-long-long-value\nKshort\n", "short"},
        {"Kfirst\nK\n", ""},
        // The key alone on a last line without a line feed is no setting.
        {"Kfirst\nK", "first"},
        {"Klast", "last"},
        {"Kwin\r\n", "win"},
        {"Ka\rb\n", "a\rb"},
        {"Kbefore\0after\n"s, "before"},
    };
    for (const auto& k : keys) {
        for (const auto& c : cases) {
            std::string file = c.lines;
            for (std::size_t at; (at = file.find('K')) != std::string::npos;) {
                file.replace(at, 1, k.key);
            }
            State().Reset();
            Read(file);
            EXPECT_EQ(k.field(State()), c.value) << k.key << " in " << file;
            // No other key takes the line ("ignore=" is not "ignore_dir=").
            for (const auto& other : keys) {
                if (&other == &k) continue;
                EXPECT_EQ(other.field(State()), "") << other.key << " from " << file;
            }
        }
    }
}

TEST_F(FolderConfigTest, FlagsSetByAnEarlierLineStaySet) {
    struct {
        const char* file;
        int32_t thresholdSync, intervalSync, remoteDirSet, smbMode;
        const char* remoteDir;
        const char* protocol;
    } const cases[] = {
        {"sync_threshold=5\nsync_threshold=0\n", 1, 0, 0, 0, "", ""},
        {"sync_timestamp=60\nsync_timestamp=x\n", 0, 1, 0, 0, "", ""},
        {"dir=/a\ndir=\n", 0, 0, 1, 0, "", ""},
        {"dir=\n", 0, 0, 0, 0, "", ""},
        {"protocol=smb\nprotocol=ftp\n", 0, 0, 0, 1, "", "ftp"},
        // Only exactly "smb".
        {"protocol=SMB\n", 0, 0, 0, 0, "", "SMB"},
        {"protocol=smb \n", 0, 0, 0, 0, "", "smb "},
        {"protocol=smbx\n", 0, 0, 0, 0, "", "smbx"},
        {"protocol=smb\r\n", 0, 0, 0, 1, "", "smb"},
        {"protocol=smb", 0, 0, 0, 1, "", "smb"},
    };
    for (const auto& c : cases) {
        State().Reset();
        Read(c.file);
        SCOPED_TRACE(c.file);
        EXPECT_EQ(State().thresholdSync, c.thresholdSync);
        EXPECT_EQ(State().intervalSync, c.intervalSync);
        EXPECT_EQ(State().remoteDirSet, c.remoteDirSet);
        EXPECT_EQ(State().smbMode, c.smbMode);
        EXPECT_EQ(Str(State().remoteDir), c.remoteDir);
        EXPECT_EQ(Str(State().protocol), c.protocol);
    }
}

TEST_F(FolderConfigTest, GoogleDriveKeepsTheFirstDirFieldOnly) {
    struct {
        const char* file;
        const char* remoteDir;
        int32_t googleDriveMode;
    } const cases[] = {
        {"protocol=GoogleDrive\ndir=/top|1AbCdEf|owner\n", "/top", 1},
        {"dir=/top|1AbCdEf|owner\nprotocol=GoogleDrive\n", "/top", 1},
        {"protocol=GoogleDrive\ndir=||/top|x\n", "/top", 1},
        {"protocol=GoogleDrive\ndir=/plain\n", "/plain", 1},
        {"protocol=GoogleDrive\ndir=|||\n", "", 1},
        {"protocol=GoogleDrive\n", "", 1},
        {"protocol=GoogleDrive\ndir=a||b\n", "a", 1},
        // Other protocols keep the value whole.
        {"protocol=ftp\ndir=/top|1AbCdEf|owner\n", "/top|1AbCdEf|owner", 0},
        {"protocol=googledrive\ndir=/top|x\n", "/top|x", 0},
        {"protocol=GoogleDrive \ndir=/top|x\n", "/top|x", 0},
        {"dir=/top|x\n", "/top|x", 0},
    };
    for (const auto& c : cases) {
        State().Reset();
        State().googleDriveMode = 1 - c.googleDriveMode;
        Read(c.file);
        EXPECT_EQ(Str(State().remoteDir), c.remoteDir) << c.file;
        EXPECT_EQ(State().googleDriveMode, c.googleDriveMode) << c.file;
    }
}

TEST_F(FolderConfigTest, GoogleDriveSplitsOnRealSeparatorsNotOnTrailBytesOfCodePage932) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    // ポ is 83 7C in code page 932: its second byte has the value of "|".
    const std::string first = ToAnsiString(L"/ポスト");
    ASSERT_NE(first.find('|'), std::string::npos);
    Read("protocol=GoogleDrive\ndir=" + first + "|id|x\n");
    EXPECT_EQ(Str(State().remoteDir), first);
    Read("protocol=GoogleDrive\ndir=" + first + "\n");
    EXPECT_EQ(Str(State().remoteDir), first);
}

TEST_F(FolderConfigTest, DecodeBase64StopsAtPaddingOrTheFirstByteOutsideTheAlphabet) {
    struct {
        const char* text;
        std::string bytes;
    } const cases[] = {
        {"TWFu", "Man"},
        {"TWE=", "Ma"},  // final group of three: two bytes
        {"TWE", "Ma"},
        {"TQ==", "M"},  // final group of two: one byte
        {"TQ", "M"},
        {"T", ""},  // a lone final character yields nothing
        {"TWFuTWE\n", "ManMa"},
        {"cGFzc3dvcmQ=", "password"},
        {"+/+/", "\xFB\xFF\xBF"},
        {"TW!Fu", "M"},
        {"TWFu TWFu", "Man"},
        {"TW=Fu", "M"},
        {"***", ""},
        {"", ""},
        {"AAAA", "\0\0\0"s},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeBase64(c.text), c.bytes) << '"' << c.text << '"';
}

TEST_F(FolderConfigTest, PasswordIsStoredDecodedUpToTheFirstNul) {
    struct {
        const char* line;
        const char* password;
    } const cases[] = {
        {"password=cGFzc3dvcmQ=\n", "password"},
        {"password=c2VjcmV0MQ\r\n", "secret1"},
        {"password=YQBi\n", "a"},  // "a", NUL, "b"
        {"password=AGFi\n", ""},
        {"password=not base64!\n", "\x9E\x8B"},  // "not" decodes, the blank ends it
        {"password=!!!\n", ""},
        {"password=\n", ""},
    };
    for (const auto& c : cases) {
        State().Reset();
        Read(c.line);
        EXPECT_EQ(Str(State().password), c.password) << c.line;
    }
}

TEST_F(FolderConfigTest, LinesAreReadIn511BytePiecesAndValuesAreCutToTheirField) {
    const std::string a507(507, 'a');
    struct {
        std::string file;
        std::string remoteDir, serverAddress, serverPort;
        int32_t queue;
    } const cases[] = {
        // The longest value a piece can hold fills remoteDir's 511 bytes.
        {"dir=" + a507 + "\n", a507, "", "", 0},
        // Beyond 511 bytes the rest is a line of its own, here matching no key.
        {"dir=" + a507 + "bbbb\nqueue=2\n", a507, "", "", 2},
        // ... or matching one.
        {"dir=" + a507 + "port=21\n", a507, "", "21", 0},
        {"ip=" + std::string(508, 'x') + "queue=6", "", std::string(99, 'x'), "", 6},
        // A line of 510 bytes and its line feed is one piece; 511 and the line
        // feed are two, the second an empty line.
        {"dir=" + std::string(506, 'c') + "\nqueue=1\n", std::string(506, 'c'), "", "", 1},
        {"dir=" + std::string(507, 'd') + "\r\nqueue=1\r\n", std::string(507, 'd'), "", "", 1},
        // Fields shorter than a piece keep what fits.
        {"port=1234567890123\n", "", "", "123456789", 0},
        {"ip=" + std::string(150, 'i') + "\n", "", std::string(99, 'i'), "", 0},
    };
    for (const auto& c : cases) {
        State().Reset();
        Read(c.file);
        SCOPED_TRACE(c.file.substr(0, 20) + "... (" + std::to_string(c.file.size()) + " bytes)");
        EXPECT_EQ(Str(State().remoteDir), c.remoteDir);
        EXPECT_EQ(Str(State().serverAddress), c.serverAddress);
        EXPECT_EQ(Str(State().serverPort), c.serverPort);
        EXPECT_EQ(State().pipeRetries, c.queue);
    }
}

TEST_F(FolderConfigTest, ValuesCutToTheirFieldNeverSplitADoubleByteCharacter) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    // Port holds 9 bytes: four double-byte characters fit, the fifth does not.
    const std::string five = ToAnsiString(L"表表表表表");
    Read("port=" + five + "\nencoding=a" + ToAnsiString(std::wstring(60, L'表')) + "\n");
    EXPECT_EQ(Str(State().serverPort), ToAnsiString(L"表表表表"));
    EXPECT_EQ(Str(State().encoding), "a" + ToAnsiString(std::wstring(49, L'表')));
}

}  // namespace
