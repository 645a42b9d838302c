#include "app/expect.h"

#include "app/console.h"
#include "app/events.h"
#include "app/run_state.h"
#include "platform/sha256.h"

std::string sha256Hex(Sha256* digest) {
    uint8_t bytes[kSha256Size];
    if (digest == nullptr || !sha256_finish(digest, bytes)) return "";
    std::string text;
    for (uint8_t byte : bytes) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

std::string fileSha256(FILE* file) {
    Sha256* digest = sha256_begin();
    if (digest == nullptr) return "";
    std::rewind(file);
    static unsigned char buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        sha256_update(digest, buffer, got);
    std::rewind(file);
    return sha256Hex(digest);
}

void requireExpected(const char* name, int64_t size, const std::string& sha256,
                     const ExpectedFile& expected) {
    if (!expected.given || (size == expected.size && sha256 == expected.sha256)) return;
    const std::string found = sha256.empty() ? "unknown" : sha256;
    consoleNote(
        "%s: not the file the station checked: SHA-256 %s expected, %s found; %s bytes "
        "expected, %s found",
        name, expected.sha256, found.c_str(), std::to_string(expected.size).c_str(),
        std::to_string(size).c_str());
    eventInputChanged(name, expected.size, expected.sha256, size, found);
    char reason[200];
    std::snprintf(reason, sizeof reason,
                  "%s: not the file the station checked (SHA-256 %.12s expected, %.12s found)",
                  name, expected.sha256, found.c_str());
    setStopReason(reason);
    abortRun(run().runPort);
}
