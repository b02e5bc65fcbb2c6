// The system's TLS for the encrypted transport: Schannel through SSPI. Only
// the calls live here; framing, state and the verdict on the certificate are
// the portable transport's (net/secure_transport.h, net/tls.h).
//
// Schannel is asked to validate nothing by itself (some versions would pass
// anything): the engine builds the chain and runs the SSL policy with the
// server name itself, and computes the certificate's SHA-256 fingerprint.
#pragma once

#include <memory>
#include <string>

#include "net/tls.h"

namespace vexa::platform {

// An engine for one connection to serverName (GBK; sent as the server name
// and matched against the certificate). Never null: a failure to get
// Schannel's credentials shows as a failed handshake.
std::unique_ptr<net::TlsEngine> MakeSchannelEngine(const std::string& serverName);

}  // namespace vexa::platform
