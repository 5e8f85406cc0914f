// Catches: keys misread, defaults lost, over-long lines overrunning, 932 characters split.
#include "config/folder_config.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "base/text_conversion.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;
using Ints = std::vector<int32_t>;

class FolderConfigTest : public StateTest {
protected:
    void TearDown() override {
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }
    // Reads `bytes` as the put configuration (a missing file for nullopt), with
    // verbose 2 from the environment and text fields holding leftovers.
    void Read(const std::optional<std::string>& bytes) {
        State().Reset();
        State().verbose = 2;
        State().remoteDir.Assign("/stale");
        State().password.Assign("stale");
        if (bytes) WriteFileBytes(dir / "key_put.config", *bytes);
        State().putConfigPath.Assign((dir / (bytes ? "key_put.config" : "absent")).string());
        ReadFolderConfig();
    }
    static std::string Str(const auto& field) { return std::string(field.Str()); }
    TempDir dir;
    unsigned originalCodePage = CurrentAnsiCodePage();
};

TEST_F(FolderConfigTest, NumbersFlagsAndDefaults) {
    const std::tuple<std::optional<std::string>, Ints> cases[] = {
        // threshold, its flag, interval, its flag, dirSet, smb, googleDrive, verbose, sub, queue
        {std::nullopt, {0, 0, 0, 0, 0, 0, 0, 2, 0, 0}},
        // Keys match exactly from the first column, "=" included.
        {"Sync_threshold=5\n sync_timestamp=3\nqueue 3\n", {0, 0, 0, 0, 0, 0, 0, 2, 0, 0}},
        {"sync_threshold= 25\nsync_timestamp=-9999999999", {25, 1, INT_MIN, 1, 0, 0, 0, 2, 0, 0}},
        // A flag set by an earlier line stays set.
        {"sync_threshold=5\nsync_threshold=0x10\n", {0, 1, 0, 0, 0, 0, 0, 2, 0, 0}},
        {"dir=/a\ndir=\nprotocol=smb\nprotocol=ftp\n", {0, 0, 0, 0, 1, 1, 0, 2, 0, 0}},
        {"protocol=SMB\nprotocol=smb \nprotocol=GoogleDrive\r\n", {0, 0, 0, 0, 0, 0, 1, 2, 0, 0}},
        // verbose, sub and queue keep their value on an empty value only.
        {"verbose= \nsub=-1\nqueue=4x\n", {0, 0, 0, 0, 0, 0, 0, 0, -1, 4}},
        {"verbose=\nsub=1\nqueue=7\nqueue=", {0, 0, 0, 0, 0, 0, 0, 2, 1, 7}},  // "queue=": no line
    };
    for (const auto& [file, expected] : cases) {
        SCOPED_TRACE(file.value_or("missing file"));
        Read(file);
        const WatcherState& s = State();
        EXPECT_EQ(
            Ints({s.syncThreshold, s.thresholdSync, s.syncInterval, s.intervalSync, s.remoteDirSet,
                  s.smbMode, s.googleDriveMode, s.verbose, s.subFolders, s.pipeRetries}),
            expected);
        EXPECT_EQ(Str(s.remoteDir) + Str(s.password), "");  // leftovers emptied
    }
}

TEST_F(FolderConfigTest, TextValuesAreCutToTheirFieldAndDecoded) {
    const std::string a507(507, 'a');
    // file, remoteDir, serverAddress, serverPort, password, queue
    const std::tuple<std::string, std::string, std::string, std::string, std::string, int32_t>
        cases[] = {
            // A value is the whole rest of its line; the last line wins.
            {"dir= a=b \n", " a=b ", "", "", "", 0},
            {"dir=long-value\ndir=short\r\n", "short", "", "", "", 0},
            {"dir=a\rb\n", "a\rb", "", "", "", 0},
            {"dir=before\0after\n"s, "before", "", "", "", 0},
            // The longest value a 511-byte piece holds fills remoteDir; the
            // rest of a longer line is a line of its own, matching no key or one.
            {"dir=" + a507 + "bbbb\nqueue=2\n", a507, "", "", "", 2},
            {"dir=" + a507 + "port=21\n", a507, "", "21", "", 0},
            {"port=1234567890123\n", "", "", "123456789", "", 0},
            {"\x01\x02\xff\0\n"s + std::string(3000, 'o') + "=\nqueue=3\n", "", "", "", "", 3},
            // Google Drive keeps the first "|" field of dir only.
            {"protocol=GoogleDrive\ndir=/top|1AbC|owner\n", "/top", "", "", "", 0},
            // Base64, up to padding, the first byte outside the alphabet or a NUL.
            {"password=c2VjcmV0MQ\r\n", "", "", "", "secret1", 0},
            {"password=TW!Fu\n", "", "", "", "M", 0},
            {"password=YQBi\n", "", "", "", "a", 0},  // "a", NUL, "b"
        };
    for (const auto& [file, remoteDir, serverAddress, serverPort, password, queue] : cases) {
        SCOPED_TRACE(file.substr(0, 30) + "... (" + std::to_string(file.size()) + " bytes)");
        Read(file);
        const WatcherState& s = State();
        EXPECT_EQ(std::tuple(Str(s.remoteDir), Str(s.serverAddress), Str(s.serverPort),
                             Str(s.password), s.pipeRetries),
                  std::tuple(remoteDir, serverAddress, serverPort, password, queue));
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
