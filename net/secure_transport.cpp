#include "net/secure_transport.h"

#include <algorithm>
#include <cstring>

namespace vexa::net {

SecureTransport::SecureTransport(std::unique_ptr<Transport> network, std::unique_ptr<TlsEngine> engine,
                                 SecurityMode mode, const Sha256& pin)
    : network_(std::move(network)), engine_(std::move(engine)), mode_(mode), pin_(pin) {
    network_->Attach(this);
}

SecureTransport::~SecureTransport() {
    network_->Close();
    network_->Attach(nullptr);
}

void SecureTransport::ResetSession() {
    record_.clear();
    recordSize_ = 0;
    held_.clear();
    heldAt_ = 0;
    handshakeIn_.clear();
    plain_.clear();
    plainAt_ = 0;
    pending_.clear();
    pendingAt_ = 0;
}

bool SecureTransport::Create(long events) {
    std::lock_guard<std::mutex> guard(mutex_);
    ResetSession();
    wanted_ = events;
    selected_ = events;
    const bool made = network_->Create(events);
    state_ = made ? State::Connecting : State::Idle;
    if (!made) lastError_ = network_->LastError();
    return made;
}

bool SecureTransport::Connect(const std::string& address, unsigned port) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (network_->Connect(address, port)) {
        // Connected at once: the handshake still has to run, from the message
        // loop like every later step, so the socket above sees a connect under
        // way and hears of the outcome in its notification.
        network_->PostNotification(kEventConnect);
        lastError_ = kErrorWouldBlock;
        return false;
    }
    lastError_ = network_->LastError();
    return false;
}

void SecureTransport::Close() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (state_ == State::Open || state_ == State::Closed) {
        std::string notify;
        engine_->Shutdown(notify);
        pending_.append(notify);
        Flush();
    }
    network_->Close();
    state_ = State::Idle;
    ResetSession();
}

bool SecureTransport::AsyncSelect(long events) {
    std::lock_guard<std::mutex> guard(mutex_);
    const bool readAdded = (events & kEventRead) != 0 && (wanted_ & kEventRead) == 0;
    wanted_ = events;
    if (state_ == State::Idle) {
        lastError_ = kErrorNotSocket;
        return false;
    }
    Reselect();
    // Bytes this layer already holds are not announced by the network.
    if (readAdded && (plainAt_ < plain_.size() || heldAt_ < held_.size() || !record_.empty()))
        network_->PostNotification(kEventRead);
    return true;
}

long SecureTransport::NetworkEvents() const {
    switch (state_) {
        case State::Idle:
        case State::Connecting: return wanted_;
        case State::Handshaking: return kEventRead | kEventClose | (HasPending() ? long{kEventWrite} : 0L);
        case State::Open:
        case State::Closed:
        case State::Failed: {
            long events = wanted_ & (kEventRead | kEventClose);
            if ((wanted_ & kEventWrite) != 0 || HasPending()) events |= kEventWrite;
            return events;
        }
    }
    return 0;
}

void SecureTransport::Reselect() {
    const long events = NetworkEvents();
    if (events == selected_) return;
    selected_ = events;
    network_->AsyncSelect(events);
}

SecureTransport::Notice SecureTransport::Tell(long event, int error) const {
    if ((wanted_ & event) == 0) return {};
    return {event, error};
}

bool SecureTransport::Flush() {
    while (HasPending()) {
        const int sent = network_->Send(pending_.data() + pendingAt_, static_cast<int>(pending_.size() - pendingAt_));
        if (sent <= 0) {
            lastError_ = network_->LastError();
            return lastError_ == kErrorWouldBlock;
        }
        pendingAt_ += static_cast<std::size_t>(sent);
    }
    pending_.clear();
    pendingAt_ = 0;
    return true;
}

SecureTransport::Read SecureTransport::ReadRecord() {
    for (;;) {
        if (recordSize_ == 0 && record_.size() == kRecordHeaderSize) {
            auto body = RecordBodyLength(reinterpret_cast<const std::uint8_t*>(record_.data()));
            if (!body) return Read::Bad;
            recordSize_ = kRecordHeaderSize + *body;
        }
        const std::size_t goal = recordSize_ == 0 ? kRecordHeaderSize : recordSize_;
        const std::size_t want = goal - record_.size();
        if (want == 0) return Read::Record;
        if (heldAt_ < held_.size()) {
            const std::size_t take = std::min(want, held_.size() - heldAt_);
            record_.append(held_, heldAt_, take);
            heldAt_ += take;
            if (heldAt_ == held_.size()) {
                held_.clear();
                heldAt_ = 0;
            }
            continue;
        }
        const std::size_t had = record_.size();
        record_.resize(had + want);
        const int received = network_->Receive(&record_[had], static_cast<int>(want));
        if (received <= 0) {
            record_.resize(had);
            if (received == 0) return Read::PeerClosed;
            lastError_ = network_->LastError();
            return lastError_ == kErrorWouldBlock ? Read::Waiting : Read::Error;
        }
        record_.resize(had + static_cast<std::size_t>(received));
    }
}

void SecureTransport::DispatchNotification(long event, int error) {
    Notice notice;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        notice = Handle(event, error);
    }
    // The last thing done: the socket above may delete this object inside.
    if (notice.event != 0 && owner_ != nullptr) owner_->DispatchNotification(notice.event, notice.error);
}

SecureTransport::Notice SecureTransport::Handle(long event, int error) {
    switch (state_) {
        case State::Idle: return {};
        case State::Connecting:
            if (event == kEventConnect) {
                if (error != 0) {
                    state_ = State::Failed;
                    return Tell(kEventConnect, error);
                }
                return StartHandshake();
            }
            return Tell(event, error);
        case State::Handshaking:
            if (event == kEventRead) return ContinueHandshake();
            if (event == kEventWrite) {
                if (!Flush()) return FailHandshake(TlsFailure::Handshake);
                Reselect();
            } else if (event == kEventClose) {
                return FailHandshake(TlsFailure::Handshake);
            }
            return {};
        case State::Open:
        case State::Closed:
        case State::Failed:
            if (event == kEventWrite) {
                // The socket above may send again only once the last record is out.
                Flush();
                Reselect();
                if (HasPending()) return {};
            }
            if (event == kEventConnect) return {};
            return Tell(event, error);
    }
    return {};
}

SecureTransport::Notice SecureTransport::StartHandshake() {
    state_ = State::Handshaking;
    std::string hello;
    if (engine_->Start(hello) != TlsEngine::Step::Continue) return FailHandshake(TlsFailure::Handshake);
    pending_.append(hello);
    if (!Flush()) return FailHandshake(TlsFailure::Handshake);
    Reselect();
    return {};
}

SecureTransport::Notice SecureTransport::ContinueHandshake() {
    for (;;) {
        switch (ReadRecord()) {
            case Read::Waiting:
                Reselect();
                return {};
            case Read::PeerClosed:
            case Read::Bad:
            case Read::Error: return FailHandshake(TlsFailure::Handshake);
            case Read::Record: break;
        }
        handshakeIn_.append(record_);
        record_.clear();
        recordSize_ = 0;
        if (handshakeIn_.size() > kMaxHandshakeBacklog) return FailHandshake(TlsFailure::Handshake);

        std::size_t consumed = 0;
        std::string out;
        const TlsEngine::Step step = engine_->Handshake(handshakeIn_.data(), handshakeIn_.size(), consumed, out);
        handshakeIn_.erase(0, std::min(consumed, handshakeIn_.size()));
        pending_.append(out);
        // Sent even when the handshake failed: it is then the alert that tells the server why.
        const bool sent = Flush();
        if (step == TlsEngine::Step::Failed || !sent) return FailHandshake(TlsFailure::Handshake);
        if (step == TlsEngine::Step::Done) return FinishHandshake();
    }
}

SecureTransport::Notice SecureTransport::FinishHandshake() {
    const TlsFailure verdict = JudgeCertificate(mode_, pin_, engine_->PeerCertificate(mode_ == SecurityMode::TlsSystem));
    if (verdict != TlsFailure::None) return FailHandshake(verdict);
    state_ = State::Open;
    // Whatever the engine did not use belongs to the records after the
    // handshake; it is read before the network.
    if (!handshakeIn_.empty()) {
        held_.insert(0, handshakeIn_);
        handshakeIn_.clear();
    }
    Reselect();
    if (!held_.empty()) network_->PostNotification(kEventRead);
    return Tell(kEventConnect, 0);
}

SecureTransport::Notice SecureTransport::FailHandshake(TlsFailure failure) {
    state_ = State::Failed;
    network_->Close();
    ResetSession();
    return Tell(kEventConnect, static_cast<int>(failure));
}

void SecureTransport::Break(int error) {
    state_ = State::Failed;
    lastError_ = error;
    ResetSession();
    network_->PostNotification(kEventClose);
}

int SecureTransport::Receive(char* buffer, int n) {
    if (n <= 0) return 0;
    std::lock_guard<std::mutex> guard(mutex_);
    for (;;) {
        if (plainAt_ < plain_.size()) {
            const std::size_t take = std::min(static_cast<std::size_t>(n), plain_.size() - plainAt_);
            std::memcpy(buffer, plain_.data() + plainAt_, take);
            plainAt_ += take;
            if (plainAt_ == plain_.size()) {
                plain_.clear();
                plainAt_ = 0;
            }
            return static_cast<int>(take);
        }
        if (state_ == State::Closed) return 0;
        if (state_ != State::Open) {
            lastError_ = kErrorNotConnected;
            return -1;
        }
        switch (ReadRecord()) {
            case Read::Waiting:
            case Read::Error: return -1;
            case Read::PeerClosed: return 0;  // the network's close notification follows
            case Read::Bad: Break(kErrorNotConnected); return -1;
            case Read::Record: break;
        }
        std::string answer;
        const TlsEngine::Record result = engine_->Decrypt(&record_[0], record_.size(), plain_, answer);
        record_.clear();
        recordSize_ = 0;
        if (result == TlsEngine::Record::Failed) {
            Break(kErrorNotConnected);
            return -1;
        }
        if (!answer.empty()) {
            pending_.append(answer);
            Flush();
            Reselect();
        }
        if (result == TlsEngine::Record::Closed) {
            state_ = State::Closed;
            network_->PostNotification(kEventClose);
            // Plaintext decrypted before the close is still received above.
        }
    }
}

int SecureTransport::Send(const char* bytes, int n) {
    std::lock_guard<std::mutex> guard(mutex_);
    // After the server's close_notify our side stays open, as a TCP half
    // close leaves it: what the socket above had queued still goes out.
    if (state_ != State::Open && state_ != State::Closed) {
        lastError_ = kErrorNotConnected;
        return -1;
    }
    if (HasPending()) {
        if (!Flush()) return -1;
        if (HasPending()) {
            lastError_ = kErrorWouldBlock;
            return -1;
        }
    }
    if (n <= 0) return 0;
    const std::size_t take = std::min(static_cast<std::size_t>(n), engine_->MaxRecordPlaintext());
    if (take == 0 || !engine_->Encrypt(bytes, take, pending_)) {
        Break(kErrorNotConnected);
        return -1;
    }
    // The record is this layer's now; what the network does not take at once
    // goes out at its next write notification.
    Flush();
    Reselect();
    return static_cast<int>(take);
}

}  // namespace vexa::net
