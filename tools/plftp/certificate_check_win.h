#pragma once
// Whether plftp may trust the server that showed a certificate: checked
// before the user's name and password go to it, and again for each data
// connection. Schannel is asked to check nothing itself (it does not under
// every system), so this is the one check.

#include <string>

#include "tools/plftp/tls_channel_win.h"
#include "tools/plftp/tool_config.h"
#include "tools/plftp/tool_status.h"

// The certificate's SHA-256 fingerprint as "AB:CD:...", empty when it cannot
// be taken.
std::string CertificateFingerprint(PCCERT_CONTEXT certificate);

// Passes when the certificate's fingerprint is the pinned one
// (config.fingerprint), or, without a pin, when it chains to a root this
// computer trusts (only to the certificates of config.caFile when given),
// is valid today, is made for a server and names `config.host`. Fails with
// kToolCertificateRefused and a reason naming the host, what failed and the
// fingerprint seen; a CA file that cannot be read fails with
// kToolInvalidTarget.
Outcome CheckServerCertificate(PCCERT_CONTEXT certificate, const ToolConfig& config);
