// Catches: a merge rule whose pending command the buffer's lookup tables do not offer it, so that
// the rule never runs on the real buffer (it still does on the plain reference one), and a rule
// that no form here brings up. Every pending form meets every new form under every event, in both
// remote styles and both SMB modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "base/watcher_state.h"
#include "support/buffer_fixture.h"
#include "sync/command_buffer.h"
#include "sync/transfer_command.h"

namespace {

// A rule added to CoalesceRule after the last one here has no name: the sweep stops at it.
constexpr const char* kRuleNames[] = {"kNone",
                                      "kDeleteDropsPut",
                                      "kDeleteFollowsRename",
                                      "kDeleteUnderTreeDelete",
                                      "kCreateAfterDelete",
                                      "kCreateUnderFolderSend",
                                      "kRenameCarriesPut",
                                      "kRenameUnderFolderSend",
                                      "kRenameOfRenamedStays",
                                      "kMoveDropsPut",
                                      "kFolderAfterTreeDelete",
                                      "kFolderUnderTreeSend",
                                      "kTreeDeleteDropsPut",
                                      "kTreeDeleteDropsDelete",
                                      "kFolderSendReplaces",
                                      "kFolderMoveTakesPending"};
static_assert(std::size(kRuleNames) ==
              static_cast<std::size_t>(CoalesceRule::kFolderMoveTakesPending) + 1);

constexpr int32_t kEvents[] = {kEventRenameItem, kEventCreate,      kEventDelete,
                               kEventMkDir,      kEventRmDir,       kEventUpdateDir,
                               kEventUpdateItem, kEventRenameFolder};

// Every form the handler composes and every form a merge makes, in the remote style of `style`,
// over folders that nest and end alike ("/b/" and "/a/b/") and a name that is both a file's and a
// folder's ("a").
std::vector<std::string> Forms(const RenameFolderContext& style) {
    static constexpr const char* kFolders[] = {"", "a", "b", "a\\b"};
    static constexpr const char* kNames[] = {"x", "a"};
    const auto join = [](std::string folder, const char* name) {
        return folder.empty() ? std::string(name) : folder + "\\" + name;
    };
    const auto local = [](const std::string& folder) {
        return folder.empty() ? std::string("C:\\W\\") : "C:\\W\\" + folder + "\\";
    };
    const auto remote = [&](std::string folder) {
        if (style.smbMode != 0) {
            return std::string(style.remoteDir) + "\\" + (folder.empty() ? "" : folder + "\\");
        }
        std::replace(folder.begin(), folder.end(), '\\', '/');
        return "/" + (folder.empty() ? "" : folder + "/");
    };
    std::vector<std::string> forms;
    CommandText t;
    const auto keep = [&](bool fits) {
        if (fits) forms.emplace_back(t.Str());
    };
    for (const std::string folder : kFolders) {
        const std::string dir = remote(folder);
        const std::string ldir = local(folder);
        for (const char* name : kNames) {
            keep(ComposePutFile(t, dir, ldir, name));
            keep(ComposeDelFile(t, dir, ldir, name));
            keep(ComposeDelName(t, dir, name));
        }
        keep(ComposeRenameItem(t, dir, ldir, "x", "a"));
        keep(ComposeRenameItem(t, dir, ldir, "a", "x"));
        keep(ComposePutTree(t, dir, ldir));
        keep(ComposeDelTree(t, dir, ldir));
        keep(ComposePutFolder(t, dir, ldir));
        keep(ComposePutFolderSub(t, dir, ldir));
        keep(ComposeRenameFolderText(t, local(join(folder, "a")), local(join(folder, "b")), ldir,
                                     style));
        for (const std::string other : kFolders) {
            if (other == folder) continue;
            for (const char* name : kNames) keep(ComposeMove(t, dir + name, remote(other) + name));
            if (!folder.empty()) keep(ComposeMove(t, dir, remote(join(other, "x"))));
        }
    }
    return forms;
}

class CommandIndexTest : public BufferTest {};

TEST_F(CommandIndexTest, TheTablesOfferEveryPendingCommandARuleAppliesTo) {
    std::vector<bool> seen(std::size(kRuleNames), false);
    int misses = 0;
    for (const RenameFolderContext style :
         {RenameFolderContext{"C:\\W", "/", 0}, RenameFolderContext{"C:\\W", "s", 1}}) {
        const std::vector<std::string> forms = Forms(style);
        std::vector<TransferCommand> parsed;
        for (const std::string& form : forms) parsed.push_back(ParseCommand(form));
        // All pending at once and unmerged: slot i holds forms[i].
        WriteFileBytes(eventList, FileOf(forms));
        ASSERT_EQ(ReadBackEventList(), static_cast<int32_t>(forms.size()));
        for (const int32_t smbMode : {0, 1}) {
            State().smbMode = smbMode;
            for (std::size_t added = 0; added < forms.size(); ++added) {
                for (const int32_t event : kEvents) {
                    const std::vector<int32_t> offered = MergeCandidates(forms[added], event);
                    for (std::size_t pending = 0; pending < forms.size(); ++pending) {
                        const auto rule = static_cast<std::size_t>(
                            DecideCoalesce(event, parsed[pending], parsed[added], smbMode).rule);
                        ASSERT_LT(rule, std::size(kRuleNames))
                            << "rule " << rule << " is not named here: name it";
                        seen[rule] = true;
                        if (rule == 0 || std::binary_search(offered.begin(), offered.end(),
                                                            static_cast<int32_t>(pending))) {
                            continue;
                        }
                        ADD_FAILURE()
                            << kRuleNames[rule] << " applies, but the lookup tables do "
                            << "not offer the pending command\n  event 0x" << std::hex << event
                            << std::dec << ", SMB mode " << smbMode
                            << "\n  pending: " << forms[pending] << "\n  new:     " << forms[added];
                        ASSERT_LT(++misses, 5) << "and more";
                    }
                }
            }
        }
    }
    for (std::size_t rule = 1; rule < seen.size(); ++rule) {
        EXPECT_TRUE(seen[rule]) << kRuleNames[rule] << " never applies here: add a form it takes";
    }
}

}  // namespace
