// A production job (--make-job, --job): the images, their addresses, the
// loader, the target, the mode, the speed and the image questions' answers,
// each file pinned by its size and SHA-256, and the job itself known by the
// SHA-256 of its bytes. An engineer makes it once; a line runs it all day,
// and a file that is not the job's stops everything before a port opens.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"

constexpr int kJobFormat = 1;

struct JobFile {
    std::string file;  // as the job names it, relative to the job's folder
    std::string path;  // where it is read
    int32_t address = 0;
    int64_t size = 0;
    std::string sha256;
    uint32_t checksum = 0;
    uint16_t crc = 0;
};

struct Job {
    std::string name;
    std::string sha256;  // of the job file's bytes
    Target target = TargetRb7;
    LinkMode mode = LinkWire;
    int32_t speed = kBaseSpeed;
    JobFile loader;
    std::vector<JobFile> images;
    char answers[3] = {'n', 'n', 'n'};  // signature, overlap, crc
};

// Reads and checks a job file: "" when it is a valid one, else the file, the
// field and what is wrong with it.
std::string loadJob(const char* path, Job* job);
// Every file of the job read and compared with it: "" when each is the job's.
std::string checkJobFiles(const Job& job);
// The command line a run of the job makes: the job's images, target, mode,
// speed, loader, answers and digests, then the arguments of the line given
// (without --job=). args[0] is argv[0].
std::vector<std::string> jobCommandLine(const Job& job, int argc, char** argv);

// The same as the parser takes it, kept for the life of the process.
char** jobLine(const Job& job, int argc, char** argv, int* count);

// The job that --job= names, loaded and its files checked: "" when it can
// run, else why not.
std::string takeJob(const char* path, Job* job);

// Whether the line makes a job (--make-job=) or runs one without a station.
bool isMakeJobLine(int argc, char** argv);
bool isJobRunLine(int argc, char** argv);
// --make-job=FILE: the images checked as a station does, the loader found as
// a run finds it, the job written; the exit status.
int runMakeJob(int argc, char** argv);
// --job=FILE without --ports: one run of the job; its exit status.
int runJob(int argc, char** argv);
