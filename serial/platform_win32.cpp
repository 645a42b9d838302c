// Windows side of the console and file services.
#include <sys/stat.h>

#include "serial/terminal.h"

FILE* file_open_regular(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    // Device names (NUL, CON, COM1) open too: only a plain file is an image.
    struct _stat64 st;
    if (_fstat64(_fileno(file), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

int64_t file_length(FILE* file) {
    int64_t length = -1;
    if (_fseeki64(file, 0, SEEK_END) == 0) length = _ftelli64(file);
    std::clearerr(file);
    _fseeki64(file, 0, SEEK_SET);
    return length;
}
