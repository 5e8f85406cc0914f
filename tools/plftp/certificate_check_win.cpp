#include "tools/plftp/certificate_check_win.h"

#include <ws2tcpip.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "base/text_conversion.h"

namespace {

using UniqueStore =
    UniqueResource<PointerTraits<HCERTSTORE, [](HCERTSTORE s) { CertCloseStore(s, 0); }>>;
using UniqueChain = UniqueResource<PointerTraits<PCCERT_CHAIN_CONTEXT, CertFreeCertificateChain>>;
using UniqueChainEngine =
    UniqueResource<PointerTraits<HCERTCHAINENGINE, CertFreeCertificateChainEngine>>;
using UniqueLocal = UniqueResource<PointerTraits<void*, LocalFree>>;

// The certificates of a PEM file (each BEGIN CERTIFICATE block), or of a DER
// file holding one; false when the file cannot be read or holds none.
bool LoadCertificates(const std::wstring& path, HCERTSTORE store) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) return false;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > 16 * 1024 * 1024) return false;
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    int added = 0;
    std::size_t at = bytes.find(kBegin);
    if (at == std::string::npos) {
        return CertAddEncodedCertificateToStore(
            store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(bytes.data()),
            static_cast<DWORD>(bytes.size()), CERT_STORE_ADD_ALWAYS, nullptr);
    }
    for (; at != std::string::npos; at = bytes.find(kBegin, at)) {
        const std::size_t end = bytes.find(kEnd, at);
        if (end == std::string::npos) break;
        const std::string block = bytes.substr(at, end + kEnd.size() - at);
        at = end + kEnd.size();
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                  CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
            continue;
        }
        std::vector<BYTE> der(size);
        if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                 CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                             CERT_STORE_ADD_ALWAYS, nullptr)) {
            ++added;
        }
    }
    return added > 0;
}

// Whether `host`, an IP address, is one the certificate names (an IP entry of
// its alternative names), as RFC 6125 compares addresses: byte for byte.
// Some systems' SSL policy compares only DNS names, and refuses a server
// reached by its address whose certificate names that address.
bool NamesAddress(PCCERT_CONTEXT certificate, const std::wstring& host) {
    BYTE address[16];
    DWORD addressSize = 0;
    if (InetPtonW(AF_INET, host.c_str(), address) == 1) {
        addressSize = 4;
    } else if (InetPtonW(AF_INET6, host.c_str(), address) == 1) {
        addressSize = 16;
    } else {
        return false;
    }
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* names =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!names) return false;
    UniqueLocal decoded;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, names->Value.pbData,
                             names->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, decoded.Put(),
                             &size)) {
        return false;
    }
    const auto* list = static_cast<const CERT_ALT_NAME_INFO*>(decoded.Get());
    for (DWORD i = 0; i < list->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = list->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            entry.IPAddress.cbData == addressSize &&
            std::memcmp(entry.IPAddress.pbData, address, addressSize) == 0) {
            return true;
        }
    }
    return false;
}

// What the SSL policy's error means for the user.
std::string PolicyFailure(DWORD error, bool caFile) {
    switch (error) {
        case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
        case static_cast<DWORD>(CERT_E_CHAINING):
        case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE):
            return caFile ? "is not signed by the authority of cafile="
                          : "is not signed by an authority this computer trusts";
        case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
            return "is made out for another name";
        case static_cast<DWORD>(CERT_E_EXPIRED):
            return "has expired or is not valid yet";
        case static_cast<DWORD>(CERT_E_WRONG_USAGE):
            return "is not made for a server";
        case static_cast<DWORD>(CERT_E_REVOKED):
            return "was revoked";
        default: {
            char code[16];
            std::snprintf(code, sizeof code, "%08lX", static_cast<unsigned long>(error));
            return std::string("failed its check (error 0x") + code + ")";
        }
    }
}

}  // namespace

std::string CertificateFingerprint(PCCERT_CONTEXT certificate) {
    if (!certificate) return {};
    BYTE hash[32];
    DWORD size = sizeof hash;
    if (!CryptHashCertificate2(L"SHA256", 0, nullptr, certificate->pbCertEncoded,
                               certificate->cbCertEncoded, hash, &size) ||
        size != sizeof hash) {
        return {};
    }
    return FormatFingerprint(std::string(reinterpret_cast<const char*>(hash), size));
}

Outcome CheckServerCertificate(PCCERT_CONTEXT certificate, const ToolConfig& config) {
    const std::string host = ToAnsiString(config.host);
    const std::string seen = CertificateFingerprint(certificate);
    const auto refuse = [&](const std::string& what) {
        return Outcome::Fail(kToolCertificateRefused, "the certificate of " + host + " " + what +
                                                          "; its SHA-256 fingerprint is " +
                                                          (seen.empty() ? "?" : seen) +
                                                          " (fingerprint= trusts it as it is)");
    };
    if (!certificate) return refuse("was not shown");
    if (!config.fingerprint.empty()) {
        if (NormalisedFingerprint(seen) == config.fingerprint) return Outcome::Ok();
        return refuse("is not the one fingerprint= names");
    }

    UniqueChainEngine engine;
    UniqueStore roots;
    if (!config.caFile.empty()) {
        roots.Reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        if (!roots || !LoadCertificates(config.caFile, roots.Get())) {
            return Outcome::Fail(kToolInvalidTarget, "cafile=" + ToAnsiString(config.caFile) +
                                                         " holds no certificate plftp can read");
        }
        CERT_CHAIN_ENGINE_CONFIG engineConfig{};
        // The size without the flags newer systems added: every system
        // since the exclusive root takes it, and Wine takes no larger one.
        engineConfig.cbSize = static_cast<DWORD>(
            offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE));
        engineConfig.hExclusiveRoot = roots.Get();
        if (!CertCreateCertificateChainEngine(&engineConfig, engine.Put())) {
            return refuse("could not be checked against cafile= (error " +
                          std::to_string(GetLastError()) + ")");
        }
    }
    LPSTR serverUse[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = serverUse;
    UniqueChain chain;
    if (!CertGetCertificateChain(engine.Get(), certificate, nullptr, certificate->hCertStore,
                                 &chainPara, 0, nullptr, chain.Put())) {
        return refuse("could not be checked (error " + std::to_string(GetLastError()) + ")");
    }
    std::wstring name = config.host;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = name.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.Get(), &policy, &status)) {
        return refuse("could not be checked (error " + std::to_string(GetLastError()) + ")");
    }
    if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH) &&
        NamesAddress(certificate, config.host)) {
        status.dwError = 0;
    }
    if (status.dwError != 0) return refuse(PolicyFailure(status.dwError, !config.caFile.empty()));
    return Outcome::Ok();
}
