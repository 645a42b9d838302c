// The status page (--status-page=HOST:PORT): the station as its table shows
// it, live, in any browser on the line's network, with /status.json (the
// control port's STATUS) and /journal. The HTTP server's own threads only
// read the snapshot the loop publishes on each refresh.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "station/observer.h"

namespace httplib {
class Server;
}

// The page itself, self-contained (made at build time from status_page.html).
extern const char* const kStatusPageHtml;

class StatusPage : public StationObserver {
public:
    StatusPage();
    StatusPage(const StatusPage&) = delete;
    StatusPage& operator=(const StatusPage&) = delete;
    ~StatusPage() override;
    // Serves at address ("HOST:PORT"); token "" : anyone who reaches it
    // (a loopback address only), else the page asks for it. journal: the
    // journal's path (null without one). "" when it serves, else why not.
    std::string open(const std::string& address, const std::string& token, const char* journal,
                     const Station& station);
    void refresh(const Station& station) override;
    void finish(const Station& station) override;

private:
    void publish(const Station& station, bool ended);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::mutex mutex_;
    std::string snapshot_;  // the last /status.json
};
