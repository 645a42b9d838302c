#include "station/inputs.h"

#include <cinttypes>
#include <cstdio>

#include "app/console.h"
#include "app/expect.h"
#include "app/image.h"
#include "app/run_state.h"
#include "platform/files.h"

namespace {

// Which input path is, if any ("" none).
std::string inputNamed(const Station& station, const char* path) {
    if (file_same_open(path, run().loaderFile)) return station.identity.loaderFile;
    for (const ImageFacts& image : station.images)
        if (file_same(path, image.file.c_str())) return image.file;
    return "";
}

}  // namespace

std::string imageArgument(const std::string& name, int32_t address) {
    char text[32];
    if (address < 0) {
        std::snprintf(text, sizeof text, ":-0x%" PRIX32, 0U - static_cast<uint32_t>(address));
    } else {
        std::snprintf(text, sizeof text, ":0x%" PRIX32, static_cast<uint32_t>(address));
    }
    return name + std::string(text);
}

std::string expectArgument(const std::string& kind, int64_t size, const std::string& sha256) {
    return "--expect=" + kind + ":" + std::to_string(size) + ":" + sha256;
}

bool checkInputs(Station& station) {
    RunConfig& config = run().runConfig;
    config = station.config;
    station.identity.loaderFile = run().loaderPath;
    station.identity.loaderSha256 = fileSha256(run().loaderFile);
    station.images.clear();
    for (int32_t i = 0; i < config.imageCount; ++i) {
        const char* name = config.imageNames[i];
        if (!file_is_regular(name)) {
            FILE* probe = file_open_regular(name);
            if (probe != nullptr) std::fclose(probe);
            consoleNote("%s: %s", name,
                        probe != nullptr ? "not a regular file" : file_open_failure());
            return false;
        }
        ImageFacts facts;
        const ImageSums sums = checkImage(config, i, &facts.sha256);  // a "no" ends the process
        facts.file = name;
        facts.address = static_cast<uint32_t>(config.imageAddresses[i]);
        facts.size = run().currentImage.size;
        facts.checksum = sums.checksum;
        facts.crc = sums.crc;
        station.images.push_back(facts);
    }
    station.config = config;
    return true;
}

bool outputsAreNoInputs(const Station& station) {
    const struct {
        const char* path;
        const char* what;
    } outputs[] = {{station.config.journalFile, "the journal"},
                   {station.config.logDir, "the log folder"}};
    for (const auto& output : outputs) {
        if (output.path == nullptr) continue;
        const std::string input = inputNamed(station, output.path);
        if (input.empty()) continue;
        consoleNote("%s: %s is %s, an input of this station; name another", output.path,
                    output.what, input.c_str());
        return false;
    }
    return true;
}

std::vector<std::string> workerArguments(const Station& station, const std::string& shownName) {
    const RunConfig& c = station.config;
    std::vector<std::string> args = {shownName};
    for (int32_t i = 0; i < c.imageCount; ++i)
        args.push_back(imageArgument(c.imageNames[i], c.imageAddresses[i]));
    args.push_back(c.target == TargetRb7      ? "/t:rb7"
                   : c.target == TargetRb7Dsp ? "/t:rb7dsp"
                                              : "/t:k52");
    args.push_back(c.linkMode == LinkDongle ? "/d" : "/w");
    args.push_back(c.loaderSearch == 1 ? "/l" : "/p");
    if (c.loaderName != nullptr) args.push_back(std::string("/f:") + c.loaderName);
    if (c.skipEnqWait) args.push_back("/h");
    if (c.downloadSpeed == 230400) args.push_back("/s:230");
    if (c.downloadSpeed == 460800) args.push_back("/s:460");
    if (c.progress) args.push_back("--progress");
    // The images' questions were answered once for every phone; the phone's
    // own question (bank size) by --answers, no unless it says otherwise.
    const char bank = c.answers[QuestionBank] != '\0' ? c.answers[QuestionBank] : 'n';
    args.push_back(std::string("--answers=signature=yes,overlap=yes,crc=yes,bank=") +
                   (bank == 'y' ? "yes" : "no"));
    // What was checked is what the worker flashes, or it refuses.
    if (!station.identity.loaderSha256.empty())
        args.push_back(
            expectArgument("loader", file_length(run().loaderFile), station.identity.loaderSha256));
    for (size_t i = 0; i < station.images.size(); ++i) {
        const ImageFacts& image = station.images[i];
        if (!image.sha256.empty())
            args.push_back(expectArgument(std::to_string(i + 1), image.size, image.sha256));
    }
    return args;
}
