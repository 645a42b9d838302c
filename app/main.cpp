#include "app/run.h"

int main(int argc, char** argv) {
    return runDownload(argc, argv);
}
