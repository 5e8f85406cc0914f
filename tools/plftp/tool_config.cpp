#include "tools/plftp/tool_config.h"

#include <fstream>

#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "config/folder_config.h"
#include "tools/plftp/path_guard.h"
#include "tools/plftp/path_text.h"

namespace {

// The last value of a key the watcher's reader does not know, read by the
// same rules: the key from the first column, the rest of the line (without
// CR LF) as the value, the last line winning.
std::string ToolOnlyValue(const std::string& path, std::string_view key) {
    std::ifstream in(path, std::ios::binary);
    std::string value;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > key.size() && line.starts_with(key)) value = line.substr(key.size());
    }
    return value;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
        };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           EqualsIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

uint64_t LeadingDigits(std::string_view text) {
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

}  // namespace

std::string FormatFingerprint(std::string_view bytes) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (!text.empty()) text += ':';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::string NormalisedFingerprint(std::string_view text) {
    std::string bytes;
    int high = -1;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) {
            // A separator only between pairs.
            if ((c != ':' && c != ' ') || high >= 0 || bytes.empty()) return {};
            continue;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes += static_cast<char>(high * 16 + digit);
            high = -1;
        }
    }
    if (high >= 0 || bytes.size() != 32) return {};
    return FormatFingerprint(bytes);
}

Outcome LoadToolConfig(const std::string& path, ToolConfig& config) {
    if (!std::ifstream(path, std::ios::binary)) {
        return Outcome::Fail(kToolOpenFileError, "cannot open the configuration " + path);
    }
    WatcherState& state = State();
    state.putConfigPath.Assign(path);
    ReadFolderConfig();

    const std::string_view cmd = state.configCmd.Str();
    if (cmd == "put" || (cmd.empty() && EndsWithIgnoringCase(path, "_put.config"))) {
        config.direction = TransferDirection::kPut;
    } else if (cmd == "get" || (cmd.empty() && EndsWithIgnoringCase(path, "_get.config"))) {
        config.direction = TransferDirection::kGet;
    } else {
        return Outcome::Fail(kToolInvalidRequest, "no direction: cmd=put or cmd=get");
    }

    const std::string_view protocol = state.protocol.Str();
    if (protocol == "file") {
        config.protocol = TargetProtocol::kFile;
        config.root = ToWideString(ToolOnlyValue(path, "root="));
        while (config.root.size() > 1 &&
               (config.root.back() == L'\\' || config.root.back() == L'/')) {
            config.root.pop_back();
        }
        if (config.root.empty())
            return Outcome::Fail(kToolInvalidTarget, "protocol=file needs root=");
    } else if (protocol == "smb") {
        config.protocol = TargetProtocol::kSmb;
    } else if (protocol == "ftp" || protocol == "ftps") {
        config.protocol = TargetProtocol::kFtp;
        config.tls = protocol == "ftps";
        config.host = ToWideString(state.serverAddress.Str());
        if (config.host.empty()) {
            return Outcome::Fail(kToolInvalidTarget,
                                 "protocol=" + std::string(protocol) + " needs ip=");
        }
        if (config.tls) {
            const std::string pinned = ToolOnlyValue(path, "fingerprint=");
            config.fingerprint = NormalisedFingerprint(pinned);
            if (!pinned.empty() && config.fingerprint.empty()) {
                return Outcome::Fail(kToolInvalidTarget,
                                     "fingerprint=" + pinned + " is no SHA-256 fingerprint");
            }
            config.caFile = ToWideString(ToolOnlyValue(path, "cafile="));
        }
        if (!state.serverPort.Empty()) {
            const int32_t port = ParseInt(state.serverPort.Str());
            if (port < 1 || port > 65535) {
                return Outcome::Fail(kToolInvalidTarget,
                                     "port=" + std::string(state.serverPort.Str()) + " is no port");
            }
            config.port = static_cast<uint16_t>(port);
        }
        if (const std::string connections = ToolOnlyValue(path, "connections=");
            !connections.empty()) {
            const int32_t count = ParseInt(connections);
            if (count < 1 || count > 16) {
                return Outcome::Fail(kToolInvalidTarget,
                                     "connections=" + connections + " is no number from 1 to 16");
            }
            config.connections = static_cast<std::size_t>(count);
        }
        config.userName = ToWideString(state.userName.Str());
        config.password = ToWideString(state.password.Str());
        config.utf8Names = EqualsIgnoringCase(state.encoding.Str(), "utf8") ||
                           EqualsIgnoringCase(state.encoding.Str(), "utf-8");
    } else {
        return Outcome::Fail(kToolInvalidTarget,
                             "protocol=" + std::string(protocol) + " is not one plftp serves");
    }

    config.remoteDir = CanonicalPath(ToWideString(state.remoteDir.Str()));
    if (config.remoteDir.empty()) {
        if (config.protocol == TargetProtocol::kSmb) {
            return Outcome::Fail(kToolInvalidRemoteDir, "protocol=smb needs dir=");
        }
        config.remoteDir = L"/";
    }
    // Below root= (or the server's root) whether or not dir= starts with a
    // separator: "dir=sub" never names a sibling of the root.
    if (config.protocol != TargetProtocol::kSmb && !config.remoteDir.starts_with(L'/')) {
        config.remoteDir.insert(0, L"/");
    }
    const bool smb = config.protocol == TargetProtocol::kSmb;
    if (std::string why = UnfitBaseReason(config.remoteDir, smb); !why.empty()) {
        return Outcome::Fail(kToolInvalidTarget, "dir=: " + why);
    }
    if (config.protocol == TargetProtocol::kFile) {
        if (std::string why = UnfitBaseReason(CanonicalPath(config.root), true); !why.empty()) {
            return Outcome::Fail(kToolInvalidTarget, "root=: " + why);
        }
    }
    config.ignore = ToWideString(state.ignorePatterns.Str());
    config.ignoreDir = ToWideString(state.ignoreDirPatterns.Str());
    config.sizeLimit = LeadingDigits(state.sizeLimit.Str());
    return Outcome::Ok();
}
