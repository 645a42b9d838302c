// Regular files only: the same on every platform but for the stat calls.
#include "platform/files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

const char* open_failure = "";

bool regular_open(FILE* file) {
#ifdef _WIN32
    struct _stat64 st;
    return _fstat64(_fileno(file), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat st;
    return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

}  // namespace

const char* file_open_failure() {
    return open_failure;
}

FILE* file_open_regular(const char* path) {
#ifdef _WIN32
    FILE* file = std::fopen(path, "rbN");  // no worker inherits it
#else
    FILE* file = std::fopen(path, "rbe");  // close-on-exec: no worker inherits it
#endif
    if (file == nullptr) {
        open_failure = std::strerror(errno);
        return nullptr;
    }
    // Device names (NUL, CON, COM1 on Windows, /dev/ttyS0 on POSIX) open too:
    // only a plain file is an image.
    if (!regular_open(file)) {
        open_failure = "not a regular file";
        std::fclose(file);
        return nullptr;
    }
    return file;
}

bool file_is_regular(const char* path) {
#ifdef _WIN32
    struct _stat64 st;
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
#endif
}

bool path_char_allowed(char c) {
#ifdef _WIN32
    return static_cast<unsigned char>(c) >= 0x20 && std::strchr("<>:\"/\\|?*", c) == nullptr;
#else
    return c != '/' && c != '\0';
#endif
}
