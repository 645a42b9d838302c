// phonesim: the virtual phone on a pseudo-terminal, for the download tool.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/options.h"
#include "sim/pty_server.h"
#include "sim/samples.h"

namespace {

sim::PtyServer* activeServer = nullptr;

void onSignal(int) {
    if (activeServer != nullptr) activeServer->stop();
}

bool writeText(const std::string& path, const std::string& text) {
    return sim::writeFile(path, text.data(), text.size());
}

int writeSamples(const sim::PhonesimOptions& options) {
    bool ok = true;
    if (!options.writeLoader.empty())
        ok = writeText(options.writeLoader, sim::makeSampleLoader()) && ok;
    if (!options.writeCrcImage.empty()) {
        const auto image = sim::makeCrcImage(options.imageSize);
        ok = sim::writeFile(options.writeCrcImage, image.data(), image.size()) && ok;
    }
    if (!options.writeBlockImage.empty()) {
        const auto image = sim::makeBlockImage(options.blockPattern);
        ok = sim::writeFile(options.writeBlockImage, image.data(), image.size()) && ok;
    }
    if (!ok) std::fprintf(stderr, "phonesim: cannot write a sample file\n");
    return ok ? 0 : 2;
}

void printVerdict(size_t run, const sim::RunReport& report) {
    const auto& v = report.verdict;
    const char* what = !v.violations.empty() ? "NOT WELL-FORMED"
                       : v.hungUp            ? "HUNG UP (as asked)"
                       : v.ended             ? "WELL-FORMED"
                                             : "ENDED EARLY (no end-of-run command)";
    std::fprintf(stderr, "phonesim: run %zu: %s, %zu image(s)\n", run, what, report.images.size());
    for (const auto& image : report.images)
        std::fprintf(
            stderr,
            "phonesim:   image at 0x%06X, %u bytes, %u blocks (%u data, %u blank, %u zero)%s\n",
            image.address, image.size, image.blocks, image.dataBlocks, image.blankBlocks,
            image.zeroBlocks, image.complete ? "" : ", incomplete");
    for (const auto& text : v.violations)
        std::fprintf(stderr, "phonesim:   fault of the tool: %s\n", text.c_str());
    for (const auto& text : v.notes)
        std::fprintf(stderr, "phonesim:   note: %s\n", text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    sim::PhonesimOptions options;
    std::string error;
    if (!sim::parsePhonesimArgs(args, &options, &error)) {
        std::fprintf(stderr, "phonesim: %s\n%s", error.c_str(), sim::phonesimUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(sim::phonesimUsage(), stdout);
        return 0;
    }
    if (!options.writeLoader.empty() || !options.writeCrcImage.empty() ||
        !options.writeBlockImage.empty())
        return writeSamples(options);

    sim::PtyServer server(options.server);
    if (!server.open(&error)) {
        std::fprintf(stderr, "phonesim: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s\n", server.slavePath().c_str());
    std::fflush(stdout);
    activeServer = &server;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    server.serve();
    activeServer = nullptr;

    const auto& reports = server.reports();
    if (!options.quiet) {
        for (size_t i = 0; i < reports.size(); ++i)
            printVerdict(i + 1, reports[i]);
        if (server.timedOut()) std::fprintf(stderr, "phonesim: time is up\n");
    }
    bool written = true;
    if (!reports.empty() && !options.transcriptPath.empty())
        written =
            writeText(options.transcriptPath, reports.back().transcript.serialize()) && written;
    if (!reports.empty() && !options.reportPath.empty())
        written = writeText(options.reportPath, sim::formatReport(reports.back())) && written;
    if (!options.dumpPath.empty()) written = server.flash().writeImage(options.dumpPath) && written;
    if (!written) std::fprintf(stderr, "phonesim: cannot write an output file\n");
    return sim::exitStatusFor(reports, server.timedOut());
}
