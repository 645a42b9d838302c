#include "app/run.h"
#include "station/job.h"
#include "station/station.h"
#include "station/stats.h"

int main(int argc, char** argv) {
    if (isStatsLine(argc, argv)) return runStats(argc, argv);
    if (isMakeJobLine(argc, argv)) return runMakeJob(argc, argv);
    if (isStationLine(argc, argv)) return runStation(argc, argv);
    if (isJobRunLine(argc, argv)) return runJob(argc, argv);
    return runDownload(argc, argv);
}
