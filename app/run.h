// The run driver: the stages of a download run in order. Nothing includes it
// but the entry point.
#pragma once

// The whole run; returns the process exit status (or ends the process).
int runDownload(int argc, char** argv);
