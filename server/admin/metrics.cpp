#include "server/admin/metrics.h"

#include <cstdio>

namespace vexa::server::admin {

namespace {

class Writer {
public:
    void Head(const char* name, const char* type, const char* help) {
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Value(const std::string& name, std::uint64_t v) { out_ += name + " " + std::to_string(v) + "\n"; }
    void Value(const std::string& name, double v) {
        char text[64];
        std::snprintf(text, sizeof text, "%.9g", v);
        out_ += name + " " + text + "\n";
    }
    void One(const char* name, const char* type, const char* help, std::uint64_t v) {
        Head(name, type, help);
        Value(name, v);
    }
    void Histogram(const char* name, const char* help, const Histogram::Snapshot& h) {
        Head(name, "histogram", help);
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < Histogram::kBounds.size(); ++i) {
            cumulative += h.buckets[i];
            char le[32];
            std::snprintf(le, sizeof le, "%g", Histogram::kBounds[i]);
            Value(std::string(name) + "_bucket{le=\"" + le + "\"}", cumulative);
        }
        Value(std::string(name) + "_bucket{le=\"+Inf\"}", h.count);
        Value(std::string(name) + "_sum", h.sumSeconds);
        Value(std::string(name) + "_count", h.count);
    }
    std::string Take() { return std::move(out_); }

private:
    std::string out_;
};

}  // namespace

std::string RenderMetrics(const ServerCounters& c, const ServerStats& s, const MailboxTotals& m) {
    Writer w;
    w.One("vexaim_connections_open", "gauge", "Client connections open now.", s.connections);
    w.One("vexaim_users_online", "gauge", "Users logged in on this node now.", s.online);
    w.Head("vexaim_connections_refused_total", "counter", "Client connections refused at once, by reason.");
    w.Value("vexaim_connections_refused_total{reason=\"server_full\"}", c.refusedFull.load());
    w.Value("vexaim_connections_refused_total{reason=\"per_address\"}", c.refusedPerAddress.load());
    w.One("vexaim_logins_succeeded_total", "counter", "Logins accepted.", c.loginsSucceeded.load());
    w.Head("vexaim_logins_failed_total", "counter", "Logins refused, by reason.");
    for (std::size_t i = 0; i < kLoginFailureReasons.size(); ++i)
        w.Value(std::string("vexaim_logins_failed_total{reason=\"") + kLoginFailureReasons[i] + "\"}",
                c.loginsFailed[i].load());
    w.Head("vexaim_requests_total", "counter", "Requests read from clients, by request code.");
    for (std::size_t code = 0; code < c.requestsByCode.size(); ++code) {
        std::uint64_t n = c.requestsByCode[code].load();
        if (n != 0) w.Value("vexaim_requests_total{code=\"" + std::to_string(code) + "\"}", n);
    }
    w.Value("vexaim_requests_total{code=\"other\"}", c.requestsOtherCode.load());
    w.One("vexaim_requests_dropped_total", "counter", "Requests refused without an answer.", c.dropped.load());
    w.One("vexaim_messages_routed_total", "counter", "Chats handed to their user's connection at once.",
          c.messagesRouted.load());
    w.One("vexaim_messages_stored_total", "counter", "Chats kept in a mailbox for a later delivery.",
          c.messagesStored.load());
    w.One("vexaim_received_bytes_total", "counter", "Bytes read from client connections.", c.bytesIn.load());
    w.One("vexaim_sent_bytes_total", "counter", "Bytes written to client connections.", c.bytesOut.load());
    w.One("vexaim_slow_reader_disconnects_total", "counter",
          "Connections closed because their client read too slowly (backlog).", c.slowReaders.load());
    w.One("vexaim_handed_back_total", "counter", "Packets put back into a mailbox when a connection closed.",
          c.handedBack.load());
    w.One("vexaim_mailbox_messages", "gauge", "Packets waiting in mailboxes (the whole cluster's).", m.messages);
    w.One("vexaim_mailbox_users", "gauge", "Users with packets waiting in their mailbox.", m.recipients);
    w.One("vexaim_mailbox_oldest_seconds", "gauge", "Age of the oldest packet waiting in a mailbox.",
          static_cast<std::uint64_t>(m.oldestSeconds < 0 ? 0 : m.oldestSeconds));
    w.Histogram("vexaim_login_hash_queue_seconds", "Time a login's password check waited for a hashing thread.",
                c.loginHashQueue.Read());
    w.Histogram("vexaim_chat_routing_seconds",
                "Time from reading a chat to handing it to its user's connection or its mailbox.",
                c.chatRouting.Read());
    return w.Take();
}

}  // namespace vexa::server::admin
