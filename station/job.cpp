#include "station/job.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "app/console.h"
#include "app/events.h"
#include "app/expect.h"
#include "app/image.h"
#include "app/loader.h"
#include "app/run.h"
#include "app/run_state.h"
#include "platform/files.h"
#include "platform/sha256.h"
#include "station/fields.h"
#include "station/inputs.h"

namespace fs = std::filesystem;

namespace {

// A job file is a page of JSON: anything larger is not one.
constexpr int64_t kMaxJobBytes = 1 << 20;
constexpr const char* kTargets[] = {"rb7", "rb7dsp", "k52"};
constexpr const char* kQuestionNames[] = {"signature", "overlap", "crc"};

// A job's texts reach the screen and the command line: no control characters.
bool plain(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

bool isDigest(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The file's bytes (at most limit of them); false with the reason.
bool readWhole(const char* path, int64_t limit, std::string* bytes, std::string* why) {
    FILE* file = file_open_regular(path);
    if (file == nullptr) {
        *why = file_open_failure();
        return false;
    }
    const int64_t length = file_length(file);
    if (length < 0 || length > limit) {
        std::fclose(file);
        *why = length < 0 ? "its length is unknown" : "larger than a job file can be";
        return false;
    }
    bytes->resize(static_cast<size_t>(length));
    const size_t got = std::fread(bytes->data(), 1, bytes->size(), file);
    std::fclose(file);
    if (got != bytes->size()) *why = "it could not be read whole";
    return got == bytes->size();
}

std::string bytesSha256(const std::string& bytes) {
    Sha256* digest = sha256_begin();
    if (digest != nullptr) sha256_update(digest, bytes.data(), bytes.size());
    return sha256Hex(digest);
}

// Where a file the job names is read: relative to the job's folder.
std::string placeOf(const std::string& file, const fs::path& folder) {
    if (path_is_absolute(file.c_str()) || folder.empty()) return file;
    return (folder / fs::path(file)).lexically_normal().string();
}

// A file of the job: its name, size and digest (and the image's sums).
std::string takeFile(const Json& object, const std::string& at, const fs::path& folder, bool image,
                     JobFile* out) {
    if (!object.is_object()) return at + ": not an object";
    const std::string* file = stringField(object, "file");
    if (file == nullptr || file->empty() || !plain(*file))
        return at + ".file: missing or not a file name";
    out->file = *file;
    out->path = placeOf(*file, folder);
    int64_t value = 0;
    if (!integer(object, "size", 0, image ? INT32_MAX : INT64_MAX, &value))
        return at + ".size: missing or not a number of bytes";
    out->size = value;
    const std::string* sha = stringField(object, "sha256");
    if (sha == nullptr || !isDigest(*sha)) return at + ".sha256: not 64 lower-case hex digits";
    out->sha256 = *sha;
    if (!image) return "";
    if (!integer(object, "address", 1, UINT32_MAX, &value))
        return at + ".address: missing or not an address from 1 to 4294967295";
    out->address = static_cast<int32_t>(static_cast<uint32_t>(value));
    if (!integer(object, "checksum", 0, UINT32_MAX, &value))
        return at + ".checksum: missing or not a 32-bit number";
    out->checksum = static_cast<uint32_t>(value);
    if (!integer(object, "crc", 0, UINT16_MAX, &value))
        return at + ".crc: missing or not a 16-bit number";
    out->crc = static_cast<uint16_t>(value);
    return "";
}

// What is wrong with the job's fields ("" nothing), each checked for its
// type before it is read: a job file is input.
std::string takeFields(const Json& root, const fs::path& folder, Job* job) {
    if (!root.is_object()) return "not a JSON object";
    int64_t value = 0;
    if (!integer(root, "job", kJobFormat, kJobFormat, &value))
        return "job: missing or not 1 (the format this version reads)";
    const std::string* name = stringField(root, "name");
    if (name == nullptr || name->empty() || name->size() > 64 || !plain(*name))
        return "name: missing or not a text of 1 to 64 characters";
    job->name = *name;
    if (stringField(root, "created") == nullptr) return "created: missing or not a text";
    const std::string* target = stringField(root, "target");
    int32_t t = 0;
    while (target != nullptr && t < 3 && *target != kTargets[t])
        ++t;
    if (target == nullptr || t == 3) return "target: missing or not rb7, rb7dsp or k52";
    job->target = static_cast<Target>(t);
    const std::string* mode = stringField(root, "mode");
    if (mode == nullptr || (*mode != "wire" && *mode != "dongle"))
        return "mode: missing or not wire or dongle";
    job->mode = *mode == "wire" ? LinkWire : LinkDongle;
    if (!integer(root, "speed", 0, INT32_MAX, &value) ||
        (value != kBaseSpeed && value != 230400 && value != 460800))
        return "speed: missing or not 115200, 230400 or 460800";
    if (value != kBaseSpeed && (job->target != TargetRb7 || job->mode != LinkWire))
        return "speed: above 115200 only with rb7 in wire mode";
    job->speed = static_cast<int32_t>(value);
    const auto loader = root.find("loader");
    if (loader == root.end()) return "loader: missing";
    if (std::string why = takeFile(*loader, "loader", folder, false, &job->loader); !why.empty())
        return why;
    const auto images = root.find("images");
    if (images == root.end() || !images->is_array() || images->empty() ||
        images->size() > static_cast<size_t>(kMaxImages))
        return "images: missing or not a list of 1 to 10 images";
    for (size_t i = 0; i < images->size(); ++i) {
        JobFile image;
        const std::string at = "images[" + std::to_string(i) + "]";
        if (std::string why = takeFile((*images)[i], at, folder, true, &image); !why.empty())
            return why;
        job->images.push_back(image);
    }
    const auto answers = root.find("answers");
    if (answers == root.end() || !answers->is_object()) return "answers: missing or not an object";
    for (int32_t q = 0; q < 3; ++q) {
        const std::string* answer = stringField(*answers, kQuestionNames[q]);
        if (answer == nullptr || (*answer != "yes" && *answer != "no"))
            return std::string("answers.") + kQuestionNames[q] + ": missing or not yes or no";
        job->answers[q] = *answer == "yes" ? 'y' : 'n';
    }
    return "";
}

std::string shortDigest(const std::string& sha256) {
    return sha256.empty() ? "unknown" : sha256.substr(0, 12) + "...";
}

// The image's name relative where it can be: the parser cuts an image's name
// at its first colon, and a drive letter has one.
std::string imageName(const JobFile& image) {
    std::error_code failure;
    const fs::path near = fs::proximate(image.path, failure);
    return failure ? image.path : near.string();
}

bool hasArgument(int argc, char** argv, const char* prefix) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) return true;
    return false;
}

// A path written into the job: relative to its folder where it can be, with
// '/' (read the same on every platform).
std::string jobRelative(const std::string& path, const fs::path& folder) {
    std::error_code failure;
    const fs::path absolute = fs::absolute(path, failure);
    if (failure) return path;
    const fs::path relative = fs::relative(absolute, fs::absolute(folder, failure), failure);
    return failure || relative.empty() ? absolute.generic_string() : relative.generic_string();
}

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    const std::tm* utc = std::gmtime(&now);
    char text[32] = "";
    if (utc != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

// Written whole or not at all: a new file beside it, then renamed over it.
std::string writeJob(const std::string& path, const std::string& text) {
    const std::string fresh = path + ".new";
    FILE* file = std::fopen(fresh.c_str(), "wb");
    if (file == nullptr) return fresh + ": " + std::strerror(errno);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = std::fclose(file) == 0;
    std::error_code failure;
    if (written && closed) fs::rename(fresh, path, failure);
    if (written && closed && !failure) return "";
    fs::remove(fresh, failure);
    return path + ": the job could not be written";
}

// An invalid line: the reason and the classic usage.
int refused(const CommandLineError& error) {
    consoleNote("%s", error.text);
    printUsage();
    return kExitAbort;
}

}  // namespace

std::string loadJob(const char* path, Job* job) {
    *job = Job{};
    std::string bytes;
    std::string why;
    if (!readWhole(path, kMaxJobBytes, &bytes, &why)) return std::string(path) + ": " + why;
    job->sha256 = bytesSha256(bytes);
    if (job->sha256.empty()) return std::string(path) + ": no SHA-256 from the system";
    const Json root = Json::parse(bytes, nullptr, false);
    if (root.is_discarded()) return std::string(path) + ": not valid JSON";
    why = takeFields(root, fs::path(path).parent_path(), job);
    return why.empty() ? "" : std::string(path) + ": " + why;
}

std::string checkJobFiles(const Job& job) {
    std::vector<const JobFile*> files = {&job.loader};
    for (const JobFile& image : job.images)
        files.push_back(&image);
    for (const JobFile* file : files) {
        FILE* stream = file_open_regular(file->path.c_str());
        if (stream == nullptr)
            return file->path + ": " + file_open_failure() + ": the job needs this file";
        const int64_t size = file_length(stream);
        const std::string sha256 = fileSha256(stream);
        std::fclose(stream);
        if (sha256 != file->sha256 || size != file->size)
            return file->path + ": SHA-256 " + shortDigest(file->sha256) + " expected, " +
                   shortDigest(sha256) + " found: this is not the job's file";
    }
    return "";
}

std::vector<std::string> jobCommandLine(const Job& job, int argc, char** argv) {
    std::vector<std::string> args = {argv[0]};
    for (const JobFile& image : job.images)
        args.push_back(imageArgument(imageName(image), image.address));
    args.push_back(std::string("/t:") + kTargets[job.target]);
    args.push_back(job.mode == LinkDongle ? "/d" : "/w");
    if (job.speed != kBaseSpeed) args.push_back(job.speed == 230400 ? "/s:230" : "/s:460");
    std::error_code failure;
    const fs::path loader = fs::absolute(job.loader.path, failure);
    args.push_back("/f:" + (failure ? job.loader.path : loader.string()));
    std::string answers = "--answers=";
    for (int32_t q = 0; q < 3; ++q)
        answers += std::string(q > 0 ? "," : "") + kQuestionNames[q] + "=" +
                   (job.answers[q] == 'y' ? "yes" : "no");
    args.push_back(answers);
    args.push_back(expectArgument("loader", job.loader.size, job.loader.sha256));
    for (size_t i = 0; i < job.images.size(); ++i)
        args.push_back(
            expectArgument(std::to_string(i + 1), job.images[i].size, job.images[i].sha256));
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--job=", 6) != 0) args.push_back(argv[i]);
    return args;
}

std::string takeJob(const char* path, Job* job) {
    const std::string why = loadJob(path, job);
    return why.empty() ? checkJobFiles(*job) : why;
}

char** jobLine(const Job& job, int argc, char** argv, int* count) {
    static std::vector<std::string> args;
    static std::vector<char*> line;
    args = jobCommandLine(job, argc, argv);
    line.clear();
    for (std::string& arg : args)
        line.push_back(arg.data());
    line.push_back(nullptr);
    *count = static_cast<int>(args.size());
    return line.data();
}

bool isMakeJobLine(int argc, char** argv) {
    return hasArgument(argc, argv, "--make-job=");
}

bool isJobRunLine(int argc, char** argv) {
    return hasArgument(argc, argv, "--job=");
}

int runMakeJob(int argc, char** argv) {
    consoleInit();
    RunConfig& config = run().runConfig;
    CommandLineError error;
    const bool valid = parseCommandLine(argc, argv, config, &error);
    // Help, the version and the ports are answered before any image is read.
    if (valid && (config.showHelp || config.showVersion || config.listPorts))
        return runDownload(argc, argv);
    printBanner();
    if (!valid) return refused(error);
    const std::string path = config.makeJobFile;
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty()) folder = ".";
    if (!openFlashLoader(config)) return kExitAbort;
    if (file_same_open(path.c_str(), run().loaderFile)) {
        consoleNote("%s: the job would be written over the loader; name another file",
                    path.c_str());
        return kExitAbort;
    }
    Json images = Json::array();
    for (int32_t i = 0; i < config.imageCount; ++i) {
        if (file_same(path.c_str(), config.imageNames[i])) {
            consoleNote("%s: the job would be written over an image; name another file",
                        path.c_str());
            return kExitAbort;
        }
        std::string sha256;
        const ImageSums sums = checkImage(config, i, &sha256);  // a "no" ends the process
        if (sha256.empty()) {
            consoleNote("%s: no SHA-256 from the system", config.imageNames[i]);
            return kExitAbort;
        }
        images.push_back({{"file", jobRelative(config.imageNames[i], folder)},
                          {"address", static_cast<uint32_t>(config.imageAddresses[i])},
                          {"size", run().currentImage.size},
                          {"sha256", sha256},
                          {"checksum", sums.checksum},
                          {"crc", sums.crc}});
    }
    Json answers = Json::object();
    for (int32_t q = 0; q < 3; ++q) {
        // A question not asked takes what --answers gave, else no: the
        // job's files never ask it.
        const char answer = run().answered[q] != '\0' ? run().answered[q] : config.answers[q];
        answers[kQuestionNames[q]] = answer == 'y' ? "yes" : "no";
    }
    const std::string name =
        config.jobName != nullptr ? config.jobName : fs::path(path).stem().string();
    const Json job = {{"job", kJobFormat},
                      {"name", name},
                      {"created", utcNow()},
                      {"target", kTargets[config.target]},
                      {"mode", config.linkMode == LinkWire ? "wire" : "dongle"},
                      {"speed", config.downloadSpeed},
                      {"loader",
                       {{"file", jobRelative(loaderLocalPath(run().loaderPath), folder)},
                        {"size", file_length(run().loaderFile)},
                        {"sha256", fileSha256(run().loaderFile)}}},
                      {"images", images},
                      {"answers", answers}};
    const std::string text = job.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    if (const std::string why = writeJob(path, text); !why.empty()) {
        consoleNote("%s", why.c_str());
        return kExitAbort;
    }
    consolePrint("\nJob %s (%s) written to %s: %d image%s, loader %s\n", name.c_str(),
                 bytesSha256(text).substr(0, 12).c_str(), path.c_str(),
                 static_cast<int>(config.imageCount), config.imageCount == 1 ? "" : "s",
                 run().loaderPath.c_str());
    return kExitSuccess;
}

int runJob(int argc, char** argv) {
    RunConfig config;
    CommandLineError error;
    const bool valid = parseCommandLine(argc, argv, config, &error);
    if (valid && (config.showHelp || config.showVersion || config.listPorts))
        return runDownload(argc, argv);
    Job job;
    const std::string why = valid ? takeJob(config.jobFile, &job) : "";
    if (!valid || !why.empty()) {
        consoleInit();
        printBanner();
        if (!valid) return refused(error);
        consoleNote("%s", why.c_str());
        return kExitAbort;
    }
    eventsSetJob(job.name, job.sha256);
    int count = 0;
    char** line = jobLine(job, argc, argv, &count);
    return runDownload(count, line);
}
