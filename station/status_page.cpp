#include "station/status_page.h"

#include <httplib.h>

#include <cstdio>

#include "platform/sockets.h"
#include "station/control.h"
#include "station/station.h"

namespace {

// A few readers at once are plenty for a line's supervisors.
constexpr size_t kHttpThreads = 4;
constexpr size_t kJournalChunk = 16 * 1024;

// The page runs only its own inline script and talks only to its station.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'";

bool tokenGiven(const httplib::Request& request, const std::string& token) {
    if (token.empty()) return true;
    if (request.get_header_value("Authorization") == "Bearer " + token) return true;
    return request.has_param("token") && request.get_param_value("token") == token;
}

void refuse(httplib::Response& response) {
    response.status = 401;
    response.set_header("WWW-Authenticate", "Bearer");
    response.set_content("the station's token is needed\n", "text/plain; charset=utf-8");
}

}  // namespace

StatusPage::StatusPage() = default;

StatusPage::~StatusPage() {
    if (server_ != nullptr) server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string StatusPage::open(const std::string& address, const std::string& token,
                             const char* journal, const Station& station) {
    std::string host;
    uint16_t port = 0;
    if (!socket_address(address, &host, &port))
        return "--status-page=" + address + ": HOST:PORT, such as 127.0.0.1:8080";
    if (token.empty() && !socket_is_loopback(host))
        return "--status-page=" + address +
               ": not a loopback address; a page open to the network needs "
               "--control-token=FILE";
    publish(station, false);
    server_ = std::make_unique<httplib::Server>();
    httplib::Server& server = *server_;
    server.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
    server.set_default_headers({{"Cache-Control", "no-store"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"}});
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Content-Security-Policy", kPagePolicy);
        response.set_content(kStatusPageHtml, "text/html; charset=utf-8");
    });
    server.Get("/status.json",
               [this, token](const httplib::Request& request, httplib::Response& response) {
                   if (!tokenGiven(request, token)) return refuse(response);
                   std::lock_guard<std::mutex> lock(mutex_);
                   response.set_content(snapshot_, "application/json");
               });
    const std::string path = journal != nullptr ? journal : "";
    server.Get(
        "/journal", [path, token](const httplib::Request& request, httplib::Response& response) {
            if (!tokenGiven(request, token)) return refuse(response);
            std::shared_ptr<FILE> file(path.empty() ? nullptr : std::fopen(path.c_str(), "rb"),
                                       [](FILE* f) {
                                           if (f != nullptr) std::fclose(f);
                                       });
            if (file == nullptr) {
                response.status = 404;
                response.set_content(path.empty() ? "this station keeps no journal (--journal=)\n"
                                                  : "the journal cannot be read\n",
                                     "text/plain; charset=utf-8");
                return;
            }
            // As it is now, in chunks: a day's journal is not read into memory.
            response.set_chunked_content_provider(
                "text/plain; charset=utf-8", [file](size_t, httplib::DataSink& sink) {
                    char chunk[kJournalChunk];
                    const size_t n = std::fread(chunk, 1, sizeof chunk, file.get());
                    if (n > 0 && !sink.write(chunk, n)) return false;
                    if (n < sizeof chunk) sink.done();
                    return true;
                });
        });
    if (!server.bind_to_port(host.c_str(), port))
        return "--status-page=" + address + ": the address cannot be used";
    thread_ = std::thread([&server] { server.listen_after_bind(); });
    return "";
}

void StatusPage::publish(const Station& station, bool ended) {
    Json status = statusJson(station, steadyMs());
    status["ended"] = ended;
    std::string text = status.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_.swap(text);
}

void StatusPage::refresh(const Station& station) {
    if (server_ != nullptr) publish(station, false);
}

void StatusPage::finish(const Station& station) {
    if (server_ != nullptr) publish(station, true);
}
