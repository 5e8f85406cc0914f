#include "config/folder_config.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

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
    // Writes the bytes as the folder's put configuration and reads it; a
    // missing file is read when `bytes` is null.
    void Read(const std::optional<std::string>& bytes, bool reset = true) {
        if (reset) State().Reset();
        if (bytes) WriteFileBytes(dir / "key_put.config", *bytes);
        State().putConfigPath.Assign((dir / (bytes ? "key_put.config" : "absent")).string());
        ReadFolderConfig();
    }
    TempDir dir;
    unsigned originalCodePage = CurrentAnsiCodePage();
};

std::string Str(const auto& field) { return std::string(field.Str()); }

TEST_F(FolderConfigTest, MissingEmptyOrUnrecognisedFilesGiveTheDefaults) {
    const std::optional<std::string> files[] = {
        std::nullopt, "", "\n\n\n",
        // Keys match exactly from the first column, "=" included.
        "Sync_threshold=5\nsync_threshold =5\n sync_timestamp=300\nDIR=/x\nProtocol=smb\n"
        "protocol\nqueue 3\n# dir=/y\n[section]\nsync_thresholds=4\n",
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.value_or("missing file"));
        // Start-up has taken verbose from the environment; text fields hold
        // leftovers that the reader must empty.
        State().Reset();
        State().verbose = 2;
        State().remoteDir.Assign("/stale");
        State().serverPort.Assign("21");
        State().password.Assign("secret");
        State().syncThreshold = 9;
        State().googleDriveMode = 1;
        Read(file, false);
        const WatcherState& s = State();
        EXPECT_EQ(Str(s.remoteDir) + Str(s.serverPort) + Str(s.password) + Str(s.protocol), "");
        for (int32_t zero : {s.syncThreshold, s.thresholdSync, s.syncInterval, s.intervalSync,
                             s.remoteDirSet, s.smbMode, s.googleDriveMode, s.subFolders,
                             s.pipeRetries})
            EXPECT_EQ(zero, 0);
        EXPECT_EQ(s.verbose, 2);
    }
}

TEST_F(FolderConfigTest, ThresholdAndIntervalUseTheDecimalConversionAndAnyNonZeroTurnsTheModeOn) {
    const std::tuple<const char*, int32_t> cases[] = {
        {"0", 0},      {"25", 25}, {" 25", 25},   {"\t 25", 25},         {"300", 300},
        {"-3", -3},    {"+7", 7},  {"25abc", 25}, {"abc", 0},            {"", 0},
        {"  ", 0},     {"- 5", 0}, {"0x10", 0},   {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const auto& [value, number] : cases) {
        Read("sync_threshold="s + value + "\nsync_timestamp=" + value + "\n");
        SCOPED_TRACE('"' + std::string(value) + '"');
        EXPECT_EQ(State().syncThreshold, number);
        EXPECT_EQ(State().thresholdSync, number != 0);
        EXPECT_EQ(State().syncInterval, number);
        EXPECT_EQ(State().intervalSync, number != 0);
    }
}

TEST_F(FolderConfigTest, ParseIntSkipsBlanksTakesOneSignAndWrapsIn32Bits) {
    const std::tuple<const char*, int32_t> cases[] = {
        {"", 0},     {"7", 7},    {"  \t-12", -12}, {"+5", 5},          {"5x9", 5},
        {"x5", 0},   {"--5", 0},  {"+-5", 0},       {"-", 0},           {"\n5", 0},
        {"007", 7},  {"2147483647", INT_MAX},       {"2147483648", INT_MIN},
        {"4294967295", -1},       {"4294967297", 1}, {"-2147483648", INT_MIN},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(ParseInt(text), value) << '"' << text << '"';
}

TEST_F(FolderConfigTest, VerboseSubAndQueueKeepTheirValueOnAnEmptyValueOnly) {
    const std::tuple<std::string, int32_t, int32_t, int32_t> cases[] = {
        // The environment gave verbose 2; sub and queue start at 0.
        {"verbose=\nsub=\nqueue=\n", 2, 0, 0},
        {"verbose=0\nsub=1\nqueue=3\n", 0, 1, 3},
        {"verbose= 1\nsub=-1\nqueue=4x\n", 1, -1, 4},
        {"verbose= \nsub=x\nqueue=\t\n", 0, 0, 0},
        {"verbose=5\nverbose=\n", 5, 0, 0},
        {"verbose=5\nverbose=1\n", 1, 0, 0},
        {"sub=1\nqueue=3", 2, 1, 3},  // a last line without its line feed counts ...
        {"queue=7\nqueue=", 2, 0, 7},  // ... unless it is the key alone
        {"queue=", 2, 0, 0},
    };
    for (const auto& [file, verbose, sub, queue] : cases) {
        State().Reset();
        State().verbose = 2;
        Read(file, false);
        EXPECT_EQ(std::vector<int32_t>({State().verbose, State().subFolders, State().pipeRetries}),
                  std::vector<int32_t>({verbose, sub, queue}))
            << file;
    }
}

TEST_F(FolderConfigTest, TextKeysStoreTheWholeValueAndTheLastLineWins) {
#define FIELD(key, member) {key, [](const WatcherState& s) { return Str(s.member); }}
    const struct {
        const char* key;
        std::function<std::string(const WatcherState&)> field;
    } keys[] = {
        FIELD("dir=", remoteDir),     FIELD("ip=", serverAddress),
        FIELD("port=", serverPort),   FIELD("cmd=", configCmd),
        FIELD("protocol=", protocol), FIELD("encoding=", encoding),
        FIELD("username=", userName), FIELD("sizelimit=", sizeLimit),
        FIELD("ignore=", ignorePatterns), FIELD("ignore_dir=", ignoreDirPatterns),
    };
#undef FIELD
    const struct {
        std::string lines;  // "K" stands for the key
        std::string value;
    } cases[] = {
        {"K 12 3 \n", " 12 3 "}, {"Ka=b=c\n", "a=b=c"},
        {"Klong-long-long-value\nKshort\n", "short"},  // nothing of the first stays
        {"Kfirst\nK\n", ""},
        {"Kfirst\nK", "first"},  // the key alone on an unterminated last line is no setting
        {"Klast", "last"},       {"Kwin\r\n", "win"},
        {"Ka\rb\n", "a\rb"},     {"Kbefore\0after\n"s, "before"},
    };
    for (const auto& k : keys) {
        for (const auto& c : cases) {
            std::string file = c.lines;
            for (std::size_t at; (at = file.find('K')) != std::string::npos;)
                file.replace(at, 1, k.key);
            Read(file);
            EXPECT_EQ(k.field(State()), c.value) << k.key << " in " << file;
            // No other key takes the line ("ignore=" is not "ignore_dir=").
            for (const auto& other : keys) {
                if (&other != &k) {
                    EXPECT_EQ(other.field(State()), "") << other.key << " from " << file;
                }
            }
        }
    }
}

TEST_F(FolderConfigTest, FlagsSetByAnEarlierLineStaySetAndSmbIsExact) {
    const std::tuple<const char*, int32_t, int32_t, int32_t, int32_t, const char*> cases[] = {
        {"sync_threshold=5\nsync_threshold=0\n", 1, 0, 0, 0, ""},
        {"sync_timestamp=60\nsync_timestamp=x\n", 0, 1, 0, 0, ""},
        {"dir=/a\ndir=\n", 0, 0, 1, 0, ""},
        {"dir=\n", 0, 0, 0, 0, ""},
        {"protocol=smb\nprotocol=ftp\n", 0, 0, 0, 1, "ftp"},
        {"protocol=SMB\n", 0, 0, 0, 0, "SMB"},
        {"protocol=smb \n", 0, 0, 0, 0, "smb "},
        {"protocol=smbx\n", 0, 0, 0, 0, "smbx"},
        {"protocol=smb\r\n", 0, 0, 0, 1, "smb"},
        {"protocol=smb", 0, 0, 0, 1, "smb"},
    };
    for (const auto& [file, threshold, interval, dirSet, smb, protocol] : cases) {
        Read(file);
        const WatcherState& s = State();
        using V = std::vector<int32_t>;
        EXPECT_EQ(V({s.thresholdSync, s.intervalSync, s.remoteDirSet, s.smbMode}),
                  V({threshold, interval, dirSet, smb}))
            << file;
        EXPECT_EQ(Str(s.remoteDir), "") << file;
        EXPECT_EQ(Str(s.protocol), protocol) << file;
    }
}

TEST_F(FolderConfigTest, GoogleDriveKeepsTheFirstDirFieldOnly) {
    const std::tuple<const char*, const char*, int32_t> cases[] = {
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
    for (const auto& [file, remoteDir, googleDriveMode] : cases) {
        State().Reset();
        State().googleDriveMode = 1 - googleDriveMode;
        Read(file, false);
        EXPECT_EQ(Str(State().remoteDir), remoteDir) << file;
        EXPECT_EQ(State().googleDriveMode, googleDriveMode) << file;
    }
}

TEST_F(FolderConfigTest, DecodeBase64StopsAtPaddingOrTheFirstByteOutsideTheAlphabet) {
    const std::tuple<const char*, std::string> cases[] = {
        {"TWFu", "Man"}, {"TWE=", "Ma"}, {"TWE", "Ma"},  // final group of three: two bytes
        {"TQ==", "M"},   {"TQ", "M"},    {"T", ""},      // final group of two: one byte
        {"TWFuTWE\n", "ManMa"},  {"cGFzc3dvcmQ=", "password"}, {"+/+/", "\xFB\xFF\xBF"},
        {"TW!Fu", "M"},  {"TWFu TWFu", "Man"},  {"TW=Fu", "M"},  {"***", ""},  {"", ""},
        {"AAAA", "\0\0\0"s},
    };
    for (const auto& [text, bytes] : cases) EXPECT_EQ(DecodeBase64(text), bytes) << text;
}

TEST_F(FolderConfigTest, PasswordIsStoredDecodedUpToTheFirstNul) {
    const std::tuple<const char*, const char*> cases[] = {
        {"password=cGFzc3dvcmQ=\n", "password"},
        {"password=c2VjcmV0MQ\r\n", "secret1"},
        {"password=YQBi\n", "a"},  // "a", NUL, "b"
        {"password=AGFi\n", ""},
        {"password=not base64!\n", "\x9E\x8B"},  // "not" decodes, the blank ends it
        {"password=!!!\n", ""},
        {"password=\n", ""},
    };
    for (const auto& [line, password] : cases) {
        Read(line);
        EXPECT_EQ(Str(State().password), password) << line;
    }
}

TEST_F(FolderConfigTest, LinesAreReadIn511BytePiecesAndValuesAreCutToTheirField) {
    const std::string a507(507, 'a');
    const std::tuple<std::string, std::string, std::string, std::string, int32_t> cases[] = {
        // The longest value a piece can hold fills remoteDir's 511 bytes.
        {"dir=" + a507 + "\n", a507, "", "", 0},
        // Beyond 511 bytes the rest is a line of its own, matching no key or one.
        {"dir=" + a507 + "bbbb\nqueue=2\n", a507, "", "", 2},
        {"dir=" + a507 + "port=21\n", a507, "", "21", 0},
        {"ip=" + std::string(508, 'x') + "queue=6", "", std::string(99, 'x'), "", 6},
        // 510 bytes and the line feed are one piece; 511 and the line feed are
        // two, the second an empty line.
        {"dir=" + std::string(506, 'c') + "\nqueue=1\n", std::string(506, 'c'), "", "", 1},
        {"dir=" + std::string(507, 'd') + "\r\nqueue=1\r\n", std::string(507, 'd'), "", "", 1},
        // Fields shorter than a piece keep what fits.
        {"port=1234567890123\n", "", "", "123456789", 0},
        {"ip=" + std::string(150, 'i') + "\n", "", std::string(99, 'i'), "", 0},
    };
    for (const auto& [file, remoteDir, serverAddress, serverPort, queue] : cases) {
        Read(file);
        SCOPED_TRACE(file.substr(0, 20) + "... (" + std::to_string(file.size()) + " bytes)");
        EXPECT_EQ(Str(State().remoteDir), remoteDir);
        EXPECT_EQ(Str(State().serverAddress), serverAddress);
        EXPECT_EQ(Str(State().serverPort), serverPort);
        EXPECT_EQ(State().pipeRetries, queue);
    }
}

// ポ is 83 7C in code page 932 (its trail byte has the value of "|"); a value
// cut to its field never splits a double-byte character.
TEST_F(FolderConfigTest, CodePage932CharactersAreNeitherSplitAtTrailBytesNorCut) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    const std::string first = ToAnsiString(L"/ポスト");
    ASSERT_NE(first.find('|'), std::string::npos);
    for (const char* rest : {"|id|x", ""}) {
        Read("protocol=GoogleDrive\ndir=" + first + rest + "\n");
        EXPECT_EQ(Str(State().remoteDir), first);
    }
    // Port holds 9 bytes: four double-byte characters fit, the fifth does not.
    Read("port=" + ToAnsiString(L"表表表表表") + "\nencoding=a" +
         ToAnsiString(std::wstring(60, L'表')) + "\n");
    EXPECT_EQ(Str(State().serverPort), ToAnsiString(L"表表表表"));
    EXPECT_EQ(Str(State().encoding), "a" + ToAnsiString(std::wstring(49, L'表')));
}

}  // namespace
