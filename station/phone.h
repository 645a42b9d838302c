// What the supervisor knows of one phone on one slot, from its worker's
// events; the journal's record and the screen's lines are made from it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

using Json = nlohmann::ordered_json;

struct ImageFacts {
    std::string file;
    uint32_t address = 0;
    int64_t size = 0;
    std::string sha256;
    uint32_t checksum = 0;
    uint16_t crc = 0;
    Json phoneChecksum;  // null until the phone reported one
    Json phoneCrc;
    std::string verdict = "not written";
};

struct PhoneRecord {
    int32_t number = 0;    // on its slot, from 1
    bool started = false;  // the phone announced itself
    int64_t startMs = 0;   // wall clock, ms since the epoch (UTC)
    int64_t endMs = 0;
    double seconds = 0;  // from its announcement to its worker's end (steady clock)
    std::string result;  // verified, failed, stopped, interrupted
    Json exitStatus;     // null when the worker ended without one
    std::string reason;
    Json iromIdentity;
    Json loader = Json::array();
    Json flashDevice = Json::array();
    int32_t speed = 0;
    std::vector<ImageFacts> images;
    std::string logFile;  // "" without --log-dir
    std::string stage;    // the last stage its worker began ("" before the first)
    std::string flash;    // what its FLASH holds, as its worker's end says ("" untouched)
    std::string cause;    // the notes its worker gave on standard error, joined
    Json adapter;         // its slot's USB adapter when its worker started (null: none)
    std::string label;    // given by the control port (a serial number, an IMEI); "" none
};

// Who made a record: the same on every record of one station run.
struct StationIdentity {
    std::string version;  // of the tool
    std::string host;
    std::string station;  // one id per station run: its start time and process id
    std::string loaderFile;
    std::string loaderSha256;
    std::string jobName;  // "" without a job (--job)
    std::string jobSha256;
};
