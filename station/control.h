// The control port (--control=HOST:PORT): a fixture, a PLC or the factory's
// system drives the station with lines of text and subscribes to what
// happens. The conversation (ControlSession) is pure: bytes in, reply lines
// out, the station's state through ControlActions; ControlPort moves the
// bytes over the sockets in the supervisor's one loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "station/observer.h"

constexpr size_t kMaxControlLine = 4096;
constexpr size_t kMaxControlClients = 8;
constexpr size_t kMaxLabel = 64;
// A client that has not read this much of its replies and events is
// disconnected: it never slows the station.
constexpr size_t kMaxControlQueue = 1024 * 1024;

// What a command does to the station beyond its slots' flags: the loop's.
class ControlActions {
public:
    virtual ~ControlActions() = default;
    // ABORT: the slot's phone stops now, as on Ctrl-C; false when it has none.
    virtual bool abortPhone(size_t slot) = 0;
    // RELEASE: false when the slot is not quarantined.
    virtual bool releaseSlot(size_t slot) = 0;
    // STOP: as q.
    virtual void stopStation() = 0;
};

// The token of --control-token=FILE: its first line; "" when read, else why
// not.
std::string readControlToken(const char* path, std::string* token);

// HELLO's object and STATUS's (also the status page's /status.json).
Json helloJson(const Station& station);
Json statusJson(const Station& station, int64_t nowMs);

// One client's side of the conversation.
class ControlSession {
public:
    // token: what AUTH must give first ("" when the port needs none).
    ControlSession(Station& station, ControlActions& actions, const std::string& token)
        : station_(station), actions_(actions), token_(token) {}
    // Bytes from the client: each whole line is one command, its reply
    // queued in out.
    void feed(const char* data, size_t size, int64_t nowMs);

    std::string out;          // to be sent, in order
    bool closing = false;     // close once out is sent
    bool subscribed = false;  // EVT lines wanted

private:
    void command(const std::string& line, int64_t nowMs);
    std::string run(const std::vector<std::string>& words, const std::string& line, int64_t nowMs);

    Station& station_;
    ControlActions& actions_;
    std::string token_;
    bool authorised_ = false;
    std::string pending_;
};

struct ControlClient;

class ControlPort : public StationObserver {
public:
    ControlPort() = default;
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;
    ~ControlPort() override;
    // Listens at address ("HOST:PORT"); "" when it does, else why not.
    std::string open(const std::string& address, const std::string& token);
    bool isOpen() const { return listener_ != nullptr; }
    // What the loop's one wait watches.
    std::vector<SocketWatch> watches() const;
    // After the wait: new clients, their commands and what is queued for
    // them; notes for the station's lines in *notes.
    void serve(Station& station, ControlActions& actions, int64_t nowMs,
               std::vector<std::string>* notes);

    std::string phoneEnded(const Station& station, const Slot& slot,
                           const PhoneRecord& phone) override;
    void slotChanged(const Station& station, const Slot& slot, const std::string& line) override;
    void stationSaid(const Station& station, const std::string& text, bool urgent) override;
    void refresh(const Station& station) override;
    void finish(const Station& station) override;

private:
    void readClients(int64_t nowMs);
    void event(const std::string& json);
    void flush(std::vector<std::string>* notes);
    void watchFlags(const Station& station);

    Socket* listener_ = nullptr;
    std::string token_;
    std::vector<ControlClient*> clients_;
    std::vector<std::string> dropped_;  // why clients went, for the next notes
    // By slot: what subscribers last heard.
    std::vector<bool> quarantined_;
    std::vector<std::string> progressState_;
    std::vector<int64_t> progressMs_;
};
