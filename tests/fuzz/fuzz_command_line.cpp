// The command line: any arguments, split from the input at NUL bytes. A line
// the parser accepts must describe a run that can happen; one it refuses
// carries its reason.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1, "download");
    std::string current;
    for (size_t i = 0; i < size && args.size() < 40; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty() && args.size() < 40) args.push_back(current);
    const std::vector<std::string> original = args;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    RunConfig config;
    CommandLineError error;
    const bool valid = parseCommandLine(static_cast<int>(args.size()), argv.data(), config, &error);
    require(valid == (error.text[0] == '\0'), "a reason exactly for an invalid line");
    if (!valid || config.showHelp || config.showVersion || config.listPorts) return 0;

    // A job gives the images: its line has none.
    require(config.jobFile != nullptr ? config.imageCount == 0
                                      : config.imageCount >= 1 && config.imageCount <= kMaxImages,
            "1 to 10 images, none with a job");
    const int32_t speed = config.downloadSpeed;
    require(speed == 115200 || speed == 230400 || speed == 460800, "a known speed");
    require(speed == 115200 || (config.target == TargetRb7 && config.linkMode == LinkWire),
            "a raised speed only with rb7 on a wire");
    require(config.target >= TargetRb7 && config.target <= TargetK52, "a known target");
    require(config.linkMode == LinkWire || config.linkMode == LinkDongle, "a known link");
    require(config.loaderSearch >= 0 && config.loaderSearch <= 2, "a known search");
    size_t images = 0;
    for (size_t i = 1; i < original.size(); ++i) {
        const std::string& arg = original[i];
        if (arg.rfind("--", 0) == 0) continue;
        // '/' starts an option, unless it starts the path of an existing file.
        struct stat st;
        const std::string path = arg.substr(0, arg.find(':'));
        if (!arg.empty() && arg[0] == '/' && !(stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)))
            continue;
        // Every image argument became one image, named up to its first colon.
        require(images < static_cast<size_t>(config.imageCount), "no image lost");
        const std::string name = arg.substr(0, arg.find(':'));
        require(name == config.imageNames[images], "the name before the colon");
        require(config.imageAddresses[images] != 0, "no image at address 0");
        ++images;
    }
    require(images == static_cast<size_t>(config.imageCount), "no image invented");
    return 0;
}
