#include "app/run.h"
#include "station/station.h"

int main(int argc, char** argv) {
    return isStationLine(argc, argv) ? runStation(argc, argv) : runDownload(argc, argv);
}
