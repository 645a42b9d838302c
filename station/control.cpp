#include "station/control.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/files.h"
#include "platform/process.h"
#include "station/journal.h"
#include "station/station.h"

struct ControlClient {
    Socket* socket = nullptr;
    std::string peer;
    ControlSession session;
};

namespace {

// A client that sends without end cannot hold the loop: this much a pass.
constexpr int kReadsPerPass = 16;
// Progress to subscribers at most this often a slot.
constexpr int64_t kProgressMs = 1000;
// At its end the station gives its subscribers this long to take the last events.
constexpr uint32_t kFinishFlushMs = 1000;

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool printable(const std::string& text, bool tabs) {
    return std::all_of(text.begin(), text.end(),
                       [&](char c) { return (c >= 0x20 && c < 0x7F) || (tabs && c == '\t'); });
}

std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        const size_t start = line.find_first_not_of(" \t", at);
        if (start == std::string::npos) break;
        const size_t end = std::min(line.find_first_of(" \t", start), line.size());
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    return words;
}

// The text after the first n words (its own spaces kept, the ends trimmed).
std::string restAfter(const std::string& line, size_t n) {
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        at = line.find_first_not_of(" \t", at);
        at = at == std::string::npos ? line.size()
                                     : std::min(line.find_first_of(" \t", at), line.size());
    }
    const size_t start = line.find_first_not_of(" \t", at);
    if (start == std::string::npos) return "";
    return line.substr(start, line.find_last_not_of(" \t") + 1 - start);
}

std::string error(const char* code, const std::string& text) {
    return std::string("ERR ") + code + " " + text;
}

// A slot by its name, as on the command line (any case); -1 when none.
long slotIndex(const Station& station, const std::string& name) {
    for (size_t i = 0; i < station.slots.size(); ++i)
        if (upper(station.slots[i].name) == upper(name)) return static_cast<long>(i);
    return -1;
}

Json jobJson(const Station& station) {
    if (station.identity.jobName.empty()) return Json();
    return {{"name", station.identity.jobName}, {"sha256", station.identity.jobSha256}};
}

// One line of JSON whatever the texts hold: a phone's or a file's invalid
// UTF-8 is replaced, not fatal.
std::string dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string readControlToken(const char* path, std::string* token) {
    FILE* file = file_open_regular(path);
    if (file == nullptr) return std::string("--control-token=") + path + ": " + file_open_failure();
    char line[1024] = "";
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    *token = read ? line : "";
    while (!token->empty() && (token->back() == '\n' || token->back() == '\r'))
        token->pop_back();
    if (token->empty() || !printable(*token, false) || token->size() >= sizeof line - 1)
        return std::string("--control-token=") + path +
               ": its first line must be the token (1 to 1000 printable characters)";
    return "";
}

Json helloJson(const Station& station) {
    Json slots = Json::array();
    for (const Slot& slot : station.slots)
        slots.push_back(slot.name);
    return {
        {"version", station.identity.version.empty() ? toolVersion() : station.identity.version},
        {"schema", 1},
        {"station", station.identity.station},
        {"job", jobJson(station)},
        {"slots", slots}};
}

Json statusJson(const Station& station, int64_t nowMs) {
    Json slots = Json::array();
    for (const Slot& slot : station.slots) {
        const std::string& label = slotLabelNow(slot);
        const bool writing = slot.busy && slot.fraction >= 0;
        slots.push_back(
            {{"slot", slot.name},
             {"device", slot.device},
             {"state", slot.state},
             {"phone", slot.phone.started ? Json(slot.phone.number) : Json()},
             {"verified", slot.verified},
             {"failed", slot.failed},
             {"interrupted", slot.interrupted},
             {"paused", slot.paused},
             {"quarantined", slot.quarantined},
             {"no_adapter", slot.noAdapter},
             {"label", label.empty() ? Json() : Json(label)},
             {"progress", writing ? Json(slot.fraction) : Json()},
             {"seconds", slot.busy && slot.phone.started
                             ? Json(static_cast<double>(nowMs - slot.phoneStartMs) / 1000.0)
                             : Json()}});
    }
    const auto [verified, failed, interrupted] = stationCounts(station);
    const int64_t ms = nowMs - station.startMs;
    const int32_t phones = verified + failed;
    return {{"station", station.identity.station},
            {"version", station.identity.version},
            {"job", jobJson(station)},
            {"stopping", station.stopping},
            {"halt", station.halt},
            {"slots", slots},
            {"verified", verified},
            {"failed", failed},
            {"interrupted", interrupted},
            {"yield", phones > 0 ? Json(100.0 * verified / phones) : Json()},
            {"phones_per_hour",
             phones > 0 && ms > 0 ? Json(phones * 3600000.0 / static_cast<double>(ms)) : Json()},
            {"seconds", static_cast<double>(ms) / 1000.0}};
}

void ControlSession::feed(const char* data, size_t size, int64_t nowMs) {
    for (size_t at = 0; at < size && !closing; ++at) {
        const char c = data[at];
        if (c == '\n') {
            if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
            const std::string line = pending_;
            pending_.clear();
            command(line, nowMs);
        } else if (pending_.size() >= kMaxControlLine) {
            out += error("too-long", "a line over 4096 bytes") + "\n";
            closing = true;
        } else {
            pending_ += c;
        }
    }
}

void ControlSession::command(const std::string& line, int64_t nowMs) {
    const std::vector<std::string> words = wordsOf(line);
    if (words.empty()) return;  // an empty line asks nothing
    const std::string verb = upper(words[0]);
    if (!authorised_ && !token_.empty()) {
        // Nothing is answered before the token.
        const bool good = verb == "AUTH" && restAfter(line, 1) == token_;
        out += good ? "OK\n" : error("auth", "AUTH with the station's token first") + "\n";
        authorised_ = good;
        closing = !good;
        return;
    }
    out += run(words, line, nowMs) + "\n";
}

std::string ControlSession::run(const std::vector<std::string>& words, const std::string& line,
                                int64_t nowMs) {
    if (!printable(line, true)) return error("syntax", "a command is printable text");
    const std::string verb = upper(words[0]);
    const size_t args = words.size() - 1;
    const auto slotOf = [&](const std::string& name, long* index) -> std::string {
        *index = slotIndex(station_, name);
        return *index < 0 ? error("unknown-slot", "no slot '" + name + "'") : "";
    };
    long index = -1;
    if (verb == "AUTH") return "OK";
    if (verb == "HELLO" || verb == "STATUS" || verb == "STOP" || verb == "SUBSCRIBE") {
        if (args != 0) return error("syntax", verb + " takes nothing more");
        if (verb == "HELLO") return "OK " + dump(helloJson(station_));
        if (verb == "STATUS") return "OK " + dump(statusJson(station_, nowMs));
        if (verb == "SUBSCRIBE") subscribed = true;
        if (verb == "STOP") actions_.stopStation();
        return "OK";
    }
    if (verb == "PAUSE" || verb == "RESUME") {
        if (args > 1) return error("syntax", verb + " [SLOT]");
        const bool pause = verb == "PAUSE";
        if (args == 0) {
            for (Slot& slot : station_.slots)
                pause ? slotPause(slot) : slotResume(slot);
            return "OK";
        }
        if (std::string bad = slotOf(words[1], &index); !bad.empty()) return bad;
        Slot& slot = station_.slots[static_cast<size_t>(index)];
        if (pause ? slotPause(slot) : slotResume(slot)) return "OK";
        return error("state", "slot " + slot.name + (pause ? " is paused" : " is not paused"));
    }
    if (verb == "LABEL") {
        if (args < 2) return error("syntax", "LABEL SLOT TEXT");
        if (std::string bad = slotOf(words[1], &index); !bad.empty()) return bad;
        const std::string label = restAfter(line, 2);
        if (label.size() > kMaxLabel || !printable(label, false))
            return error("syntax", "a label is 1 to 64 printable characters");
        slotLabel(station_.slots[static_cast<size_t>(index)], label);
        return "OK";
    }
    if (verb == "RELEASE" || verb == "ABORT") {
        if (args != 1) return error("syntax", verb + " SLOT");
        if (std::string bad = slotOf(words[1], &index); !bad.empty()) return bad;
        const std::string& name = station_.slots[static_cast<size_t>(index)].name;
        if (verb == "RELEASE")
            return actions_.releaseSlot(static_cast<size_t>(index))
                       ? "OK"
                       : error("state", "slot " + name + " is not quarantined");
        return actions_.abortPhone(static_cast<size_t>(index))
                   ? "OK"
                   : error("state", "slot " + name + " has no phone being flashed");
    }
    return error("unknown-command",
                 "'" + words[0].substr(0, 32) +
                     "': HELLO, STATUS, PAUSE, RESUME, LABEL, RELEASE, ABORT, STOP, SUBSCRIBE");
}

ControlPort::~ControlPort() {
    for (ControlClient* client : clients_) {
        socket_close(client->socket);
        delete client;
    }
    socket_close(listener_);
}

std::string ControlPort::open(const std::string& address, const std::string& token) {
    std::string host;
    uint16_t port = 0;
    if (!socket_address(address, &host, &port))
        return "--control=" + address + ": HOST:PORT, such as 127.0.0.1:7070";
    if (token.empty() && !socket_is_loopback(host))
        return "--control=" + address +
               ": not a loopback address; a control port open to the network needs "
               "--control-token=FILE";
    std::string why;
    listener_ = socket_listen(host, port, &why);
    if (listener_ == nullptr) return "--control=" + address + ": " + why;
    token_ = token;
    return "";
}

std::vector<SocketWatch> ControlPort::watches() const {
    std::vector<SocketWatch> watches;
    if (listener_ != nullptr) watches.push_back({listener_, false});
    for (const ControlClient* client : clients_)
        watches.push_back({client->socket, !client->session.out.empty()});
    return watches;
}

void ControlPort::serve(Station& station, ControlActions& actions, int64_t nowMs,
                        std::vector<std::string>* notes) {
    if (listener_ == nullptr) return;
    watchFlags(station);
    readClients(nowMs);
    flush(notes);
    for (;;) {
        std::string peer;
        Socket* socket = socket_accept(listener_, &peer);
        if (socket == nullptr) break;
        if (clients_.size() >= kMaxControlClients) {
            // One that has just gone frees its place (its close came during this pass).
            readClients(nowMs);
            flush(notes);
        }
        if (clients_.size() >= kMaxControlClients) {
            static const char kBusy[] = "ERR busy 8 clients are connected\n";
            socket_write(socket, kBusy, sizeof kBusy - 1);
            socket_close(socket);
            notes->push_back("control: " + peer + " refused: 8 clients are connected");
            continue;
        }
        clients_.push_back(
            new ControlClient{socket, peer, ControlSession(station, actions, token_)});
    }
    flush(notes);
}

void ControlPort::readClients(int64_t nowMs) {
    char buffer[4096];
    for (ControlClient* client : clients_) {
        // One that does not read its replies is not read either: it is
        // disconnected, not given ever more memory.
        for (int reads = 0; reads < kReadsPerPass && !client->session.closing &&
                            client->session.out.size() <= kMaxControlQueue;
             ++reads) {
            const long n = socket_read(client->socket, buffer, sizeof buffer);
            if (n < 0) break;
            // Its replies still go out if it only closed its sending side.
            if (n == 0) client->session.closing = true;
            if (n == 0) break;
            client->session.feed(buffer, static_cast<size_t>(n), nowMs);
        }
    }
}

// What is queued goes out as far as the clients take it; a client that has
// gone, or that lets its queue grow past the bound, is closed.
void ControlPort::flush(std::vector<std::string>* notes) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        ControlClient* client = *it;
        std::string& out = client->session.out;
        bool broken = false;
        while (!out.empty()) {
            const long n = socket_write(client->socket, out.data(), out.size());
            if (n <= 0) {
                broken = n < 0;
                break;
            }
            out.erase(0, static_cast<size_t>(n));
        }
        const bool slow = out.size() > kMaxControlQueue;
        if (slow && notes != nullptr)
            notes->push_back("control: " + client->peer +
                             " disconnected: it did not read its events (over 1 MiB waiting)");
        if (broken || slow || (client->session.closing && out.empty())) {
            socket_close(client->socket);
            delete client;
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

void ControlPort::event(const std::string& json) {
    for (ControlClient* client : clients_)
        if (client->session.subscribed && !client->session.closing)
            client->session.out += "EVT " + json + "\n";
}

// Quarantines and releases, however they came (a failure, r, RELEASE).
void ControlPort::watchFlags(const Station& station) {
    quarantined_.resize(station.slots.size(), false);
    progressState_.resize(station.slots.size());
    progressMs_.resize(station.slots.size(), 0);
    for (size_t i = 0; i < station.slots.size(); ++i) {
        const Slot& slot = station.slots[i];
        if (slot.quarantined == quarantined_[i]) continue;
        quarantined_[i] = slot.quarantined;
        event(dump(slot.quarantined
                       ? Json{{"event", "quarantine"}, {"slot", slot.name}, {"state", slot.state}}
                       : Json{{"event", "release"}, {"slot", slot.name}}));
    }
}

std::string ControlPort::phoneEnded(const Station& station, const Slot& slot,
                                    const PhoneRecord& phone) {
    if (listener_ != nullptr)
        event("{\"event\":\"record\",\"record\":" + journalLine(phone, slot, station.identity) +
              "}");
    return "";
}

void ControlPort::slotChanged(const Station& station, const Slot& slot, const std::string& line) {
    if (listener_ == nullptr) return;
    // The state this line announced: the slot may have moved on since.
    const std::string phone = slotLine(slot, "");
    const bool ofPhone = slot.phone.started && line.compare(0, phone.size(), phone) == 0;
    event(dump({{"event", "slot"},
                {"slot", slot.name},
                {"state", ofPhone ? line.substr(phone.size()) : line},
                {"phone", slot.phone.started ? Json(slot.phone.number) : Json()},
                {"line", line}}));
    watchFlags(station);
}

void ControlPort::stationSaid(const Station&, const std::string& text, bool) {
    if (listener_ != nullptr) event(dump({{"event", "note"}, {"text", text}}));
}

void ControlPort::refresh(const Station& station) {
    if (listener_ == nullptr) return;
    watchFlags(station);
    const int64_t now = steadyMs();
    for (size_t i = 0; i < station.slots.size(); ++i) {
        const Slot& slot = station.slots[i];
        if (!slot.busy || slot.fraction < 0 || slot.state == progressState_[i] ||
            now - progressMs_[i] < kProgressMs)
            continue;
        progressState_[i] = slot.state;
        progressMs_[i] = now;
        event(dump({{"event", "progress"},
                    {"slot", slot.name},
                    {"state", slot.state},
                    {"progress", slot.fraction}}));
    }
    flush(nullptr);
}

void ControlPort::finish(const Station& station) {
    if (listener_ == nullptr) return;
    watchFlags(station);
    event(dump({{"event", "end"}, {"exit_status", stationExitStatus(station)}}));
    for (ControlClient* client : clients_)
        client->session.closing = true;
    // The last events reach a client that reads, within a bound.
    const int64_t until = steadyMs() + kFinishFlushMs;
    while (!clients_.empty() && steadyMs() < until) {
        flush(nullptr);
        std::vector<SocketWatch> watching;
        for (const ControlClient* client : clients_)
            watching.push_back({client->socket, true, false});  // what they send is not read now
        // The loop has ended: a stop has nothing left to stop, and would end
        // each wait at once.
        stop_request_take();
        wait_for_workers(nullptr, 0, false, watching.data(), watching.size(), 100);
    }
}
