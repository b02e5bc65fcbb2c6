#include "platform/tls_schannel_win32.h"

#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
// SCH_CREDENTIALS and TLS_PARAMETERS (with UNICODE_STRING from subauth.h).
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

namespace vexa::platform {
namespace {

static_assert(net::kPolicyWrongName == static_cast<std::uint32_t>(CERT_E_CN_NO_MATCH));

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

// Everything older than TLS 1.2; what is newer is left to the system.
constexpr DWORD kOldProtocols = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT |
                                SP_PROT_TLS1_1_CLIENT;
constexpr DWORD kTls12OrNewer = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;

// Owner of a certificate context, released with CertFreeCertificateContext.
struct CertificateTraits {
    using Handle = PCCERT_CONTEXT;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { ::CertFreeCertificateContext(h); }
};
// Owner of a chain context, released with CertFreeCertificateChain.
struct ChainTraits {
    using Handle = PCCERT_CHAIN_CONTEXT;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { ::CertFreeCertificateChain(h); }
};
template <typename Traits>
class Owned {
public:
    Owned() = default;
    ~Owned() {
        if (handle_ != Traits::Invalid()) Traits::Close(handle_);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    typename Traits::Handle* Receive() { return &handle_; }
    typename Traits::Handle get() const { return handle_; }

private:
    typename Traits::Handle handle_ = Traits::Invalid();
};

// Tokens that Schannel allocated (ISC_REQ_ALLOCATE_MEMORY), freed once.
class OutputToken {
public:
    OutputToken() {
        buffer_.BufferType = SECBUFFER_TOKEN;
        description_.ulVersion = SECBUFFER_VERSION;
        description_.cBuffers = 1;
        description_.pBuffers = &buffer_;
    }
    ~OutputToken() {
        if (buffer_.pvBuffer) ::FreeContextBuffer(buffer_.pvBuffer);
    }
    OutputToken(const OutputToken&) = delete;
    OutputToken& operator=(const OutputToken&) = delete;
    SecBufferDesc* Description() { return &description_; }
    void AppendTo(std::string& out) const {
        if (buffer_.pvBuffer && buffer_.cbBuffer > 0) out.append(static_cast<const char*>(buffer_.pvBuffer), buffer_.cbBuffer);
    }

private:
    SecBuffer buffer_{};
    SecBufferDesc description_{};
};

class SchannelEngine final : public net::TlsEngine {
public:
    explicit SchannelEngine(std::string serverName) : serverName_(std::move(serverName)) {}
    ~SchannelEngine() override { Release(); }

    Step Start(std::string& out) override {
        Release();
        if (!AcquireCredentials()) return Step::Failed;
        OutputToken token;
        ULONG attributes = 0;
        const SECURITY_STATUS status = ::InitializeSecurityContextA(
            &credentials_, nullptr, const_cast<char*>(serverName_.c_str()), kContextFlags, 0, 0, nullptr, 0,
            &context_, token.Description(), &attributes, nullptr);
        if (status != SEC_I_CONTINUE_NEEDED) return Step::Failed;
        haveContext_ = true;
        token.AppendTo(out);
        return Step::Continue;
    }

    Step Handshake(const char* records, std::size_t n, std::size_t& consumed, std::string& out) override {
        consumed = 0;
        if (!haveContext_) return Step::Failed;
        std::vector<char> input(records, records + n);
        for (int attempt = 0;; ++attempt) {
            SecBuffer in[2] = {};
            in[0].BufferType = SECBUFFER_TOKEN;
            in[0].pvBuffer = input.data();
            in[0].cbBuffer = static_cast<unsigned long>(input.size());
            in[1].BufferType = SECBUFFER_EMPTY;
            SecBufferDesc inDescription{SECBUFFER_VERSION, 2, in};
            OutputToken token;
            ULONG attributes = 0;
            const SECURITY_STATUS status = ::InitializeSecurityContextA(
                &credentials_, &context_, const_cast<char*>(serverName_.c_str()), kContextFlags, 0, 0, &inDescription,
                0, nullptr, token.Description(), &attributes, nullptr);
            // Whatever the outcome, a token goes to the server (with an
            // error it is the alert that tells the server why).
            token.AppendTo(out);
            if (status == SEC_E_INCOMPLETE_MESSAGE) return Step::Continue;
            const std::size_t extra = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
            if (extra > n) return Step::Failed;
            consumed = n - extra;
            if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
                // The server asked for a client certificate; there is none,
                // and the same records are offered again to go on without.
                consumed = 0;
                if (attempt > 0) return Step::Failed;
                continue;
            }
            if (status == SEC_I_CONTINUE_NEEDED) return Step::Continue;
            if (status != SEC_E_OK) return Step::Failed;
            return SessionReady() ? Step::Done : Step::Failed;
        }
    }

    net::CertificateFacts PeerCertificate(bool chain) override {
        net::CertificateFacts facts;
        Owned<CertificateTraits> certificate;
        if (::QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, certificate.Receive()) != SEC_E_OK ||
            certificate.get() == nullptr)
            return facts;
        DWORD size = static_cast<DWORD>(facts.fingerprint.size());
        if (!::CryptHashCertificate(0, CALG_SHA_256, 0, certificate.get()->pbCertEncoded,
                                    certificate.get()->cbCertEncoded, facts.fingerprint.data(), &size) ||
            size != facts.fingerprint.size())
            return facts;
        if (!chain) {
            facts.complete = true;
            return facts;
        }

        // A server's certificate, for a server: the usage is part of the chain.
        LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH), const_cast<LPSTR>(szOID_SERVER_GATED_CRYPTO),
                          const_cast<LPSTR>(szOID_SGC_NETSCAPE)};
        CERT_CHAIN_PARA chainPara{};
        chainPara.cbSize = sizeof chainPara;
        chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
        chainPara.RequestedUsage.Usage.cUsageIdentifier = 3;
        chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
        Owned<ChainTraits> chainContext;
        // Only what is cached: a chain that needs fetching over the network
        // would block the IM program's thread for as long as that takes.
        if (!::CertGetCertificateChain(nullptr, certificate.get(), nullptr, certificate.get()->hCertStore, &chainPara,
                                       CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, chainContext.Receive()))
            return facts;
        facts.chainErrorStatus = chainContext.get()->TrustStatus.dwErrorStatus;

        std::wstring name = WideName();
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.pwszServerName = name.empty() ? nullptr : &name[0];
        CERT_CHAIN_POLICY_PARA policyPara{};
        policyPara.cbSize = sizeof policyPara;
        policyPara.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS policyStatus{};
        policyStatus.cbSize = sizeof policyStatus;
        if (name.empty() || !::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chainContext.get(), &policyPara,
                                                                &policyStatus))
            return facts;
        facts.policyError = policyStatus.dwError;
        facts.complete = true;
        return facts;
    }

    std::size_t MaxRecordPlaintext() const override { return sizes_.cbMaximumMessage; }

    bool Encrypt(const char* plain, std::size_t n, std::string& out) override {
        if (n == 0 || n > sizes_.cbMaximumMessage) return false;
        std::vector<char> record(sizes_.cbHeader + n + sizes_.cbTrailer);
        std::memcpy(record.data() + sizes_.cbHeader, plain, n);
        SecBuffer buffers[4] = {};
        buffers[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
        buffers[1] = {static_cast<unsigned long>(n), SECBUFFER_DATA, record.data() + sizes_.cbHeader};
        buffers[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + n};
        buffers[3].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        if (::EncryptMessage(&context_, 0, &description, 0) != SEC_E_OK) return false;
        const std::size_t size = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (size > record.size()) return false;
        out.append(record.data(), size);
        return true;
    }

    Record Decrypt(char* record, std::size_t n, std::string& plain, std::string& out) override {
        SecBuffer buffers[4] = {};
        buffers[0] = {static_cast<unsigned long>(n), SECBUFFER_DATA, record};
        buffers[1].BufferType = buffers[2].BufferType = buffers[3].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        const bool alert = n > 0 && static_cast<std::uint8_t>(record[0]) == net::kRecordAlert;
        const SECURITY_STATUS status = ::DecryptMessage(&context_, &description, 0, nullptr);
        if (status == SEC_I_CONTEXT_EXPIRED) return Record::Closed;
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return Record::Failed;
        const char* begin = record;
        const char* end = record + n;
        const std::size_t plainBefore = plain.size();
        for (const SecBuffer& buffer : buffers) {
            const char* data = static_cast<const char*>(buffer.pvBuffer);
            // The engine was given one whole record: every part lies inside it.
            if (buffer.BufferType == SECBUFFER_EXTRA) return Record::Failed;
            if (buffer.BufferType != SECBUFFER_DATA || buffer.cbBuffer == 0) continue;
            if (data < begin || data > end || buffer.cbBuffer > static_cast<std::size_t>(end - data)) return Record::Failed;
            plain.append(data, buffer.cbBuffer);
        }
        if (status == SEC_I_RENEGOTIATE) return PostHandshakeMessage(record, n, out) ? Record::Data : Record::Failed;
        // Some Schannels (Wine's) report the close_notify as an alert record
        // that decrypted to nothing; any other alert fails to decrypt.
        if (alert && plainBefore == plain.size()) return Record::Closed;
        return Record::Data;
    }

    void Shutdown(std::string& out) override {
        if (!haveContext_) return;
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer buffer{sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc description{SECBUFFER_VERSION, 1, &buffer};
        if (::ApplyControlToken(&context_, &description) != SEC_E_OK) return;
        OutputToken token;
        ULONG attributes = 0;
        ::InitializeSecurityContextA(&credentials_, &context_, const_cast<char*>(serverName_.c_str()), kContextFlags, 0,
                                     0, nullptr, 0, nullptr, token.Description(), &attributes, nullptr);
        token.AppendTo(out);
    }

private:
    bool AcquireCredentials() {
        TimeStamp expiry;
        // The current form names what is not allowed and lets the system
        // choose among the rest; systems that do not know it get the older
        // form, limited to TLS 1.2.
        TLS_PARAMETERS parameters{};
        parameters.grbitDisabledProtocols = kOldProtocols;
        SCH_CREDENTIALS current{};
        current.dwVersion = SCH_CREDENTIALS_VERSION;
        current.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
        current.cTlsParameters = 1;
        current.pTlsParameters = &parameters;
        if (::AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                        &current, nullptr, nullptr, &credentials_, &expiry) == SEC_E_OK) {
            haveCredentials_ = true;
            return true;
        }
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        older.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
        haveCredentials_ = ::AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                                       nullptr, &older, nullptr, nullptr, &credentials_,
                                                       &expiry) == SEC_E_OK;
        return haveCredentials_;
    }

    // The session is up: it must be TLS 1.2 or newer, and its record sizes
    // must be sane before anything is encrypted with them.
    bool SessionReady() {
        SecPkgContext_ConnectionInfo info{};
        if (::QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) return false;
        if ((info.dwProtocol & kTls12OrNewer) == 0) return false;
        if (::QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK) return false;
        return sizes_.cbMaximumMessage > 0 && sizes_.cbMaximumMessage <= 16384 && sizes_.cbHeader <= 1024 &&
               sizes_.cbTrailer <= 1024;
    }

    // A handshake message after the handshake (a TLS 1.3 session ticket or
    // key update): Schannel takes it through the context again. A real
    // renegotiation, which would need more round trips, is refused.
    bool PostHandshakeMessage(char* record, std::size_t n, std::string& out) {
        SecBuffer in[2] = {};
        in[0] = {static_cast<unsigned long>(n), SECBUFFER_TOKEN, record};
        in[1].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc inDescription{SECBUFFER_VERSION, 2, in};
        OutputToken token;
        ULONG attributes = 0;
        const SECURITY_STATUS status = ::InitializeSecurityContextA(
            &credentials_, &context_, const_cast<char*>(serverName_.c_str()), kContextFlags, 0, 0, &inDescription, 0,
            nullptr, token.Description(), &attributes, nullptr);
        token.AppendTo(out);
        return status == SEC_E_OK;
    }

    std::wstring WideName() const {
        if (serverName_.empty()) return {};
        const int length = ::MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, serverName_.data(),
                                                 static_cast<int>(serverName_.size()), nullptr, 0);
        if (length <= 0) return {};
        std::wstring wide(static_cast<std::size_t>(length), L'\0');
        ::MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, serverName_.data(), static_cast<int>(serverName_.size()),
                              &wide[0], length);
        return wide;
    }

    void Release() {
        if (haveContext_) ::DeleteSecurityContext(&context_);
        if (haveCredentials_) ::FreeCredentialsHandle(&credentials_);
        haveContext_ = haveCredentials_ = false;
        sizes_ = {};
    }

    const std::string serverName_;
    CredHandle credentials_{};
    CtxtHandle context_{};
    bool haveCredentials_ = false;
    bool haveContext_ = false;
    SecPkgContext_StreamSizes sizes_{};
};

}  // namespace

std::unique_ptr<net::TlsEngine> MakeSchannelEngine(const std::string& serverName) {
    return std::make_unique<SchannelEngine>(serverName);
}

}  // namespace vexa::platform
