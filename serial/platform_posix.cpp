// POSIX side of the console and file services.
#include <sys/stat.h>

#include "serial/terminal.h"

FILE* file_open_regular(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

int64_t file_length(FILE* file) {
    int64_t length = -1;
    if (fseeko(file, 0, SEEK_END) == 0) length = ftello(file);
    std::clearerr(file);
    fseeko(file, 0, SEEK_SET);
    return length;
}
