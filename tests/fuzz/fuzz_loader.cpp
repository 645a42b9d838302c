// The loader upload: any file, a boot ROM that acknowledges every line. What
// goes on the line must be the file read as DOS text (CR LF as LF, ending at
// a Ctrl-Z), cut into lines of at most 97 characters, each sent as far as its
// first NUL.
#include <string>
#include <vector>

#include "app/loader.h"
#include "app/run_state.h"
#include "tests/app/fake_port.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::vector<std::string> modelPieces(std::string text) {
    const size_t end = text.find('\x1A');
    if (end != std::string::npos) text.resize(end);
    std::string lf;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        lf.push_back(text[i]);
    }
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start < lf.size()) {
        size_t lineEnd = lf.find('\n', start);
        lineEnd = lineEnd == std::string::npos ? lf.size() : lineEnd + 1;
        for (size_t at = start; at < lineEnd; at += 97) {
            std::string piece = lf.substr(at, std::min<size_t>(97, lineEnd - at));
            pieces.push_back(piece.substr(0, piece.find('\0')));
        }
        start = lineEnd;
    }
    return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzSetUp();
    const std::string file(reinterpret_cast<const char*>(data), size);
    FakePort fake;
    startRun(&fake);
    std::vector<std::string> sent;
    fake.onWriteBlock = [&sent](FakePort& f, const std::string& block) {
        sent.push_back(block);
        f.receive(".");
    };
    run().loaderFile = std::fopen(scratchFile("loader.s37", file).c_str(), "rb");
    require(run().loaderFile != nullptr, "the loader file opens");
    try {
        sendFlashLoader();
    } catch (const RunStopped&) {
        require(false, "every line is acknowledged, so the upload ends normally");
    }
    require(sent == modelPieces(file), "the lines on the wire");
    startRun(nullptr);
    return 0;
}
