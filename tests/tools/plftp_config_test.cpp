// Catches: a configuration whose dir= or root= points plftp outside the folder it names (a dir=
// without its leading slash naming a sibling of root=, ".." pieces), or a wrong status for it.
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

}  // namespace
