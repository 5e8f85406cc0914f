// Catches: a configuration whose dir= or root= points plftp outside the folder it names (a dir=
// without its leading slash naming a sibling of root=, ".." pieces), or a wrong status for it; a
// pinned fingerprint read as another, or a half one taken for none.
#include <gtest/gtest.h>

#include <string>

#include "base/text_conversion.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "tools/plftp/tool_config.h"

namespace {

class PlftpConfigTest : public StateTest {};

TEST_F(PlftpConfigTest, TargetFoldersStayBelowTheirRoot) {
    const struct {
        const char* text;
        int32_t status;
        const wchar_t* remoteDir;  // when it loads
    } rows[] = {
        {"protocol=file\nroot=C:\\T\ndir=/sub\n", kToolSuccess, L"/sub"},
        {"protocol=file\nroot=C:\\T\ndir=sub\\x\\\n", kToolSuccess, L"/sub/x"},
        {"protocol=file\nroot=C:\\T\n", kToolSuccess, L"/"},
        {"protocol=file\nroot=C:\\T\ndir=/a/../../b\n", kToolInvalidTarget, L""},
        {"protocol=file\nroot=C:\\T\ndir=/a/CON/\n", kToolInvalidTarget, L""},
        {"protocol=file\nroot=C:\\T\\..\\U\n", kToolInvalidTarget, L""},
        {"protocol=file\nroot=T\n", kToolInvalidTarget, L""},
        {"protocol=ftp\nip=h\ndir=up/../..\n", kToolInvalidTarget, L""},
        {"protocol=ftp\nip=h\ndir=home/x\n", kToolSuccess, L"/home/x"},
        {"protocol=smb\ndir=\\\\srv\\share\\x\\\n", kToolSuccess, L"//srv/share/x"},
        {"protocol=smb\ndir=\\\\srv\\share\\..\\y\n", kToolInvalidTarget, L""},
    };
    TempDir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        State().Reset();
        const std::string path = (dir / "key_put.config").string();
        WriteFileBytes(path, row.text);
        ToolConfig config;
        const Outcome outcome = LoadToolConfig(path, config);
        EXPECT_EQ(outcome.status, row.status) << outcome.reason;
        if (outcome) {
            EXPECT_EQ(ToAnsiString(config.remoteDir), ToAnsiString(row.remoteDir));
        }
    }
}

TEST_F(PlftpConfigTest, PinnedFingerprintsAreReadInEverySpellingOrRefused) {
    const std::string pairs = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
    std::string colons;
    for (std::size_t i = 0; i < pairs.size(); i += 2) colons += (i ? ":" : "") + pairs.substr(i, 2);
    std::string upper = colons;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    TempDir dir;
    const std::string path = (dir / "key_put.config").string();
    const struct {
        std::string pin;
        int32_t status;
        std::string read;
    } rows[] = {
        {pairs, kToolSuccess, upper},
        {colons, kToolSuccess, upper},
        {std::string(colons).replace(2, 1, " "), kToolSuccess, upper},
        {"", kToolSuccess, ""},
        {pairs.substr(2), kToolInvalidTarget, ""},           // 31 bytes
        {pairs + "00", kToolInvalidTarget, ""},              // 33
        {":" + colons, kToolInvalidTarget, ""},              // a separator first
        {"0:0" + colons.substr(2), kToolInvalidTarget, ""},  // a pair split
        {pairs.substr(1) + "g", kToolInvalidTarget, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pin);
        State().Reset();
        WriteFileBytes(path,
                       "protocol=ftps\nip=h\nfingerprint=" + row.pin + "\ncafile=C:\\ca.pem\n");
        ToolConfig config;
        const Outcome outcome = LoadToolConfig(path, config);
        EXPECT_EQ(outcome.status, row.status) << outcome.reason;
        EXPECT_EQ(config.fingerprint, row.read);
        if (outcome) {
            EXPECT_TRUE(config.tls);
            EXPECT_EQ(ToAnsiString(config.caFile), "C:\\ca.pem");
        }
    }
}

}  // namespace
