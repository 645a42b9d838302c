// The command-line frame through the real binary: banner, usage, loader
// search, exit statuses; and the yes/no question.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/ports.h"
#include "app/run_state.h"
#include "platform/serial_ports.h"
#include "platform/terminal.h"
#include "serial/port.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kRule(79, '-');
const std::string kBanner =
    kRule + "\nTALVIREN GSM FLASH DOWNLOAD\nVersion: 3.10a (May 10 2002)\n" + kRule + "\n";

const std::string kUsage =
    "\nCommand line syntax:"
    "\nUSAGE : download {filename[:addr]} [/[1-2]] [/t:[rb7|rb7dsp|k52]]"
    "\n                            [/[w|d]] [l] [/s:[230|460]] [/f:ldrname]"
    "\nPARAMETERS:"
    "\n filename[:addr] : filename -- path of downloading file"
    "\n                   addr     -- destination address in hex"
    "\n                   this option can be repeated for multiple download"
    "\n        /[1-9]   : 1 = FLASH download using one of COM1-COM9"
    "\n        /t:      : FLASH download Target"
    "\n                   rb7    = rb7 micro controller code (default)"
    "\n                   rb7dsp = rb7 DSP code"
    "\n                   k52    = k52 micro controller code"
    "\n        /[w|d]   : w = wire mode (default)"
    "\n                   d = IrDA mode using Dongle"
    "\n        /l       : using a flash loader in the Local directory"
    "\n        /f:      : using specified Flash loader, instead of the default loader"
    "\n                   ldrname = flash loader name"
    "\n        /s:      : optional download speed for RB7 wire mode only"
    "\n                   230 = 230400 bps"
    "\n                   460 = 460800 bps"
    "\nEXAMPLES:"
    "\n>download gsmflcrc.bin /2 /t:rb7"
    "\n    (Download gsmflcrc.bin to rb7 mobile using COM2)"
    "\n>download gsmflcrc.bin /1 /t:rb7 /d"
    "\n    (Download gsmflcrc.binto RB7 using COM1 and IrDA-Dongle)"
    "\n>download afg.bin:0x400000 afg1.bin:0x800000 /1 /t:rb7"
    "\n    (Using COM1, download afg.bin to address 0x400000 and"
    "\n     afg1.bin to address 0x800000 in rb7 mobile"
    "\n";

// "try to open %-20s..." with its result, as the search prints it.
std::string tryLine(const std::string& path, const std::string& result) {
    std::string padded = path;
    if (padded.size() < 20) padded.resize(20, ' ');
    return "try to open " + padded + "..." + result + "\n";
}

// A device that cannot exist, so that a run that gets past the loader search
// stops at the port instead of touching a real serial port.
const std::string kNoDevice = "/c:/nonexistent/download-test-port";

// Standard output and standard error apart: the classic texts stay as they
// were, what is new goes to standard error.
ProcessResult runDownloadIn(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), DOWNLOAD_EXE);
    ProcessOptions options;
    options.workingDirectory = dir.path();
    options.separateErrors = true;
    return runProcess(args, options);
}

TEST(Cli, InvalidLinesPrintBannerAndUsageAndExit1) {
    TempDir dir;
    dir.write("fw.bin", "abcd");
    const std::string many =
        "--ports=" + std::regex_replace(std::string(33, 'x'), std::regex("x"), "x,");
    const struct {
        std::vector<std::string> args;
        std::string reason;  // the one line on standard error
    } cases[] = {
        {{}, "no image given"},
        {{"/1"}, "no image given"},
        {{"/"}, "'/': unknown option"},
        {{"a.bin", "/0"}, "'/0': COM ports are numbered from 1"},
        {{"a.bin", "/t:"}, "'/t:': target must be rb7, rb7dsp or k52"},
        {{"a.bin", "/t:\x80\xff"}, "'/t:\x80\xff': target must be rb7, rb7dsp or k52"},
        {{"a.bin", "/s:115"}, "'/s:115': speed must be 230 or 460"},
        {{"a.bin", "/s:460", "/d"}, "'/s:460': only with rb7 in wire mode"},
        {{"a.bin", "/fx"}, "'/fx': /f: needs a colon and the loader's name"},
        {{"a.bin:0"}, "'a.bin:0': the address must be a hexadecimal number other than 0"},
        {{"a.bin", "--frobnicate"}, "'--frobnicate': unknown option (see --help)"},
        {{"a.bin", "--trace="}, "'--trace=': --trace= needs a file name"},
        // An absolute path is an image only when the file exists.
        {{"/nonexistent/fw.bin"}, "'/nonexistent/fw.bin': unknown option"},
        {{dir.file("fw.bin") + ":0"},
         "'" + dir.file("fw.bin") + ":0': the address must be a hexadecimal number other than 0"},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "/2"}, "11 images: at most 10"},
        // A station's line: the same device twice (also by another path), a
        // port of the classic kind, --repeat without the wait for a phone.
        {{"a.bin", "--ports=A=/dev/null,B=/dev/../dev/null"},
         "slots 'A' (/dev/null) and 'B' (/dev/../dev/null) are the same device"},
        {{"a.bin", "--ports=/dev/ttyUSB0,/dev/ttyUSB0"}, "two slots are named 'ttyUSB0'"},
        {{"a.bin", "--ports=/dev/ttyUSB0", "/2"}, "'/2': a station names its devices with --ports"},
        {{"a.bin", "--ports=/dev/ttyUSB0", "--repeat", "/h"},
         "--repeat needs the phone's ENQ to know the next one: not with /h or k52"},
        {{"a.bin", "--repeat=2"}, "--repeat: only with --ports"},
        {{"a.bin", "--journal=j.json"}, "--journal=: only with --ports"},
        {{"a.bin", "--ports=/dev/ttyUSB0", "--repeat", "/t:k52"},
         "--repeat needs the phone's ENQ to know the next one: not with /h or k52"},
        {{"a.bin", "--answers="},
         "'--answers=': --answers= takes yes, no, or KIND=yes|no,... (signature, overlap, crc, "
         "bank)"},
        {{"a.bin", "--expect=1:5:abc"}, "'--expect=1:5:abc': --expect= takes loader|N:SIZE:SHA256"},
        {{"a.bin", many}, "'" + many + "': at most 32 slots"},
        // Slot names become file names and screen text.
        {{"a.bin", "--ports=../evil=/dev/null"}, "slot name '../evil': a path separator"},
        {{"a.bin", "--ports=..=/dev/null"}, "slot name '..': not a file name"},
        {{"a.bin", "--ports=E\x1b[2J=/dev/null"},
         "slot name 'E?[2J': a space or a control character"},
        {{"a.bin", "--ports=" + std::string(65, 'n') + "=/dev/null"},
         "slot name '" + std::string(64, 'n') + "...': longer than 64 characters"},
        // A job gives the images and their settings; the station's signals.
        {{"--job=l.job", "a.bin:0x600000"},
         "'a.bin:0x600000': the job (--job=) gives the images, the loader, the target, the mode, "
         "the speed and the images' answers"},
        {{"--job=l.job", "/c:COM5", "--answers=crc=yes"},
         "'--answers=crc=yes': the job (--job=) gives the images, the loader, the target, the "
         "mode, the speed and the images' answers"},
        {{"a.bin", "--job-name=L3"}, "--job-name=: only with --make-job="},
        {{"a.bin", "--make-job=l.job", "--ports=/dev/null"},
         "--make-job=: makes a job, flashes no phone"},
        {{"a.bin", "--quarantine=2"}, "--quarantine=: only with --ports"},
        {{"a.bin", "--ports=/dev/null", "--bell=loud"},
         "'--bell=loud': --bell= takes fail, all or none"},
        {{"a.bin", "--ports=A=/dev/ttyUSB0;B=/dev/ttyUSB1"},
         "slot 'A': there is no device '/dev/ttyUSB0;B=/dev/ttyUSB1' (slots are separated by ',')"},
    };
    for (const auto& tc : cases) {
        ProcessResult r = runDownloadIn(dir, tc.args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.output, kBanner + kUsage) << tc.reason;
        // A station's reason again below the usage, where it can still be read.
        const bool station = tc.args.size() > 1 && tc.args[1].rfind("--ports=", 0) == 0;
        EXPECT_EQ(r.errors, tc.reason + "\n" + (station ? tc.reason + "\n" : ""));
    }
}

// Asking for help or the version never touches a port, whatever else the
// line holds.
TEST(Cli, HelpAndVersion) {
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-h"}, {"a.bin", "/x", "--help"}}) {
        ProcessResult r = runDownloadIn(dir, args);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.output.find("TALVIREN"), std::string::npos);
        for (const char* text : {"Usage: download", "/c:DEVICE", "/p ", "/h ", "/s:230",
                                 "--progress", "--trace=FILE", "Exit status:", "130"})
            EXPECT_NE(r.output.find(text), std::string::npos) << text;
    }
    ProcessResult version = runDownloadIn(dir, {"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_TRUE(std::regex_search(
        version.output,
        std::regex("^download [0-9]+\\.[0-9]+\\.[0-9]+ \\(classic 3\\.10a, May 10 2002\\)\n"
                   "built for Linux [^\n]+ on [A-Z][a-z]{2} [ 0-9]{2} [0-9]{4}\n$")))
        << version.output;
}

// Every message that the product can show a user is in the manual's
// DIAGNOSTICS and in the README's troubleshooting: the texts of the notes,
// the framed messages and questions, and of the lines that begin like an
// error, each with its fixed words (the parts between the conversions).
TEST(Cli, EveryMessageIsDocumented) {
    const std::string root = DOWNLOAD_SOURCE_DIR;
    // Text as a reader sees it: no roff requests, escapes or backticks.
    const auto flat = [](std::string text) {
        const std::pair<std::regex, std::string> edits[] = {
            {std::regex(R"(\\f[BIRP]|\\&|`)"), ""},
            {std::regex(R"(\\-)"), "-"},
            {std::regex(R"(\\e)"), "\\"},
            {std::regex(R"(\n\.[A-Z]+ )"), "\n"},
            {std::regex(R"(\s+)"), " "},
        };
        for (const auto& [from, to] : edits)
            text = std::regex_replace(text, from, to);
        return text;
    };
    const std::string manual = flat(readFile(root + "/man/download.1.in"));
    const std::string readme = flat(readFile(root + "/README.md"));
    const std::regex messages[] = {
        std::regex(R"re((?:consoleNote|failRun|noteRefusal|askYesNo|printFailure)\(\s*)re"
                   R"re("((?:[^"\\]|\\.)*)")re"),
        std::regex(R"re("(?:\\n)*((?:ERROR|Failed to|Could not|Timeout|Loader can not|)re"
                   R"re(Serial port|No answer|No file name|Image file)(?:[^"\\]|\\.)*)")re"),
    };
    const std::regex conversion(R"re(%[-+ #0-9.*]*[a-zA-Z]?|\\[nrt"])re");
    size_t checked = 0;
    std::vector<std::filesystem::directory_entry> sources;
    for (const char* folder : {"/app", "/station"})
        for (const auto& entry : std::filesystem::directory_iterator(root + folder))
            sources.push_back(entry);
    for (const auto& entry : sources) {
        const std::string source = readFile(entry.path().string());
        for (const std::regex& message : messages) {
            for (std::sregex_iterator m(source.begin(), source.end(), message), end; m != end;
                 ++m) {
                std::stringstream pieces(std::regex_replace((*m)[1].str(), conversion, "|"));
                for (std::string piece; std::getline(pieces, piece, '|');) {
                    piece = flat(piece);
                    piece.erase(0, piece.find_first_not_of(' '));
                    piece.erase(piece.find_last_not_of(' ') + 1);
                    if (piece.size() < 6) continue;
                    ++checked;
                    EXPECT_NE(manual.find(piece), std::string::npos) << "man page: " << piece;
                    EXPECT_NE(readme.find(piece), std::string::npos) << "README: " << piece;
                }
            }
        }
    }
    EXPECT_GT(checked, 30u);
}

// --list-ports against a made-up sysfs and /dev: a USB adapter, an ACM
// modem, on-board UARTs with and without hardware behind them, a tty without
// a device; and ModemManager found among the processes.
TEST(Cli, ListPortsFromSysfs) {
    TempDir root;
    const std::string sys = root.file("sys"), dev = root.file("dev");
    const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/";
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {usb + "1-2/idVendor", "0403\n"},
             {usb + "1-2/idProduct", "6001\n"},
             {usb + "1-2/serial", "A50285BI\n"},
             {usb + "1-2/product", "FT232R USB UART\n"},
             {usb + "1-2/1-2:1.0/ttyUSB0/dev", "188:0\n"},
             {usb + "1-3/idVendor", "2341\n"},
             {usb + "1-3/idProduct", "0043\n"},
             {usb + "1-3/1-3:1.0/tty/ttyACM0/dev", "166:0\n"},
             // An adapter behind a hub: its own ids, not the hub's.
             {usb + "1-4/idVendor", "1a40\n"},
             {usb + "1-4/1-4.1/idVendor", "10c4\n"},
             {usb + "1-4/1-4.1/idProduct", "ea60\n"},
             {usb + "1-4/1-4.1/1-4.1:1.0/ttyUSB1/dev", "188:1\n"},
             {"sys/devices/platform/serial8250/tty/ttyS1/type", "0\n"},
             {"sys/devices/pnp0/00:01/tty/ttyS0/type", "4\n"},
             {"sys/class/tty/tty0/dev", "4:0\n"},
             {"dev/ttyACM0", ""},
             {"proc/17/comm", "bash\n"},
             {"proc/42/comm", "ModemManager\n"},
             {"proc/self/comm", "ModemManager\n"},
         })
        root.write(name, text);
    const std::string devices = root.file("sys/devices/");
    for (const auto& [link, target] : std::vector<std::pair<std::string, std::string>>{
             {"sys/class/tty/ttyUSB0", usb.substr(12) + "1-2/1-2:1.0/ttyUSB0"},
             {"sys/class/tty/ttyACM0", usb.substr(12) + "1-3/1-3:1.0/tty/ttyACM0"},
             {"sys/class/tty/ttyUSB1", usb.substr(12) + "1-4/1-4.1/1-4.1:1.0/ttyUSB1"},
             {"sys/class/tty/ttyS0", "pnp0/00:01/tty/ttyS0"},
             {"sys/class/tty/ttyS1", "platform/serial8250/tty/ttyS1"},
         }) {
        ASSERT_EQ(symlink((devices + target).c_str(), root.file(link).c_str()), 0) << link;
    }
    // Each tty's device: the USB interface, the UART's platform device.
    for (const auto& [tty, up] :
         std::vector<std::pair<std::string, std::string>>{{"ttyUSB0", ".."},
                                                          {"ttyUSB1", ".."},
                                                          {"ttyACM0", "../.."},
                                                          {"ttyS0", "../.."},
                                                          {"ttyS1", "../.."}})
        ASSERT_EQ(symlink(up.c_str(), root.file("sys/class/tty/" + tty + "/device").c_str()), 0);
    root.write("dev/serial/by-id/.keep", "");
    root.write("dev/serial/by-path/.keep", "");
    for (const auto& [link, target] : std::vector<std::pair<std::string, std::string>>{
             {"by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0"},
             {"by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB0"},
             {"by-id/usb-Arduino_Uno-if00", "../../ttyACM0"},
         })
        ASSERT_EQ(symlink(target.c_str(), (dev + "/serial/" + link).c_str()), 0);

    testing::internal::CaptureStdout();
    EXPECT_EQ(listSerialPorts(sys.c_str(), dev.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              dev + "/ttyACM0  USB 2341:0043  " + dev + "/serial/by-id/usb-Arduino_Uno-if00\n" +
                  dev + "/ttyS0\n" + dev +
                  "/ttyUSB0  USB 0403:6001 \"FT232R USB UART\" serial A50285BI  " + dev +
                  "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0  " + dev +
                  "/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n" + dev +
                  "/ttyUSB1  USB 10c4:ea60\n");
    EXPECT_EQ(serial_port_describe((dev + "/serial/by-id/usb-Arduino_Uno-if00").c_str(),
                                   sys.c_str(), dev.c_str())
                  .vendorId,
              "2341");
    EXPECT_TRUE(modem_manager_running(root.file("proc").c_str()));
    EXPECT_FALSE(modem_manager_running(dev.c_str()));

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(listSerialPorts(dev.c_str(), dev.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "no serial devices found\n");
}

std::string missingTail(const std::string& name) {
    return kRule + "\nCould not open " + name +
           ". This file is required to\n"
           "initialize the IROM prior to FLASH download\n" +
           kRule + "\n";
}
const std::string kMissingTail = missingTail("rb7.s37");

TEST(Cli, MissingLoaderTriesThreeDirectoriesAndExits1BeforeSerialMode) {
    TempDir dir;
    ProcessResult r = runDownloadIn(dir, {"x.bin"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.output, kBanner + std::string("Open wire mode flash loader for rb7 ...\n") +
                            tryLine("p:\\tools\\rb7.s37", "Failed") +
                            tryLine("c:\\tools\\rb7.s37", "Failed") +
                            tryLine(".\\rb7.s37", "Failed") + kMissingTail);
    EXPECT_EQ(r.output.find("Entering Serial Mode"), std::string::npos);
}

struct SearchCase {
    std::vector<std::string> args;
    std::vector<std::string> files;  // loader files present, relative to the directory
    std::string expected;            // output after the banner, up to the search result
    bool found;
};

TEST(Cli, LoaderSearchOrderAndNames) {
    const SearchCase cases[] = {
        {{"x.bin", "/l"},
         {},
         std::string("Open wire mode flash loader for rb7 ...\n") +
             tryLine(".\\rb7.s37", "Failed") + kMissingTail,
         false},
        {{"x.bin", "/l", "/p"},
         {"rb7.s37"},
         std::string("Open wire mode flash loader for rb7 ...\n") +
             tryLine("p:\\tools\\rb7.s37", "Failed") + tryLine("c:\\tools\\rb7.s37", "Failed") +
             tryLine(".\\rb7.s37", "Done"),
         true},
        // The first directory that holds the file ends the search.
        {{"x.bin"},
         {"c:/tools/rb7.s37", "rb7.s37"},
         std::string("Open wire mode flash loader for rb7 ...\n") +
             tryLine("p:\\tools\\rb7.s37", "Failed") + tryLine("c:\\tools\\rb7.s37", "Done"),
         true},
        {{"x.bin"},
         {"p:/tools/rb7.s37"},
         std::string("Open wire mode flash loader for rb7 ...\n") +
             tryLine("p:\\tools\\rb7.s37", "Done"),
         true},
        {{"x.bin", "/d", "/t:k52", "/l"},
         {"ik52.s37"},
         std::string("Open infrared mode flash loader for k52 ...\n") +
             tryLine(".\\ik52.s37", "Done"),
         true},
        {{"x.bin", "/t:rb7dsp", "/l"},
         {"rb7dsp.s37"},
         std::string("Open wire mode flash loader for rb7dsp ...\n") +
             tryLine(".\\rb7dsp.s37", "Done"),
         true},
        {{"x.bin", "/D", "/l"},
         {"irb7.s37"},
         std::string("Open infrared mode flash loader for rb7 ...\n") +
             tryLine(".\\irb7.s37", "Done"),
         true},
        // Only a regular file is a loader: a directory is passed over.
        {{"x.bin", "/l"},
         {"rb7.s37/inside"},
         std::string("Open wire mode flash loader for rb7 ...\n") +
             tryLine(".\\rb7.s37", "Failed") + kMissingTail,
         false},
        {{"x.bin", "/f:", "/l"},
         {},
         std::string("Open wire mode flash loader for rb7 ...\n") + tryLine(".\\", "Failed") +
             missingTail(""),
         false},
        // An absolute /f: path is opened as it is, once; an absolute image
        // path is an image, not an option.
        {{"@DIR@/x.bin", "/f:@DIR@/loaders/mine.s37", "/l"},
         {"loaders/mine.s37", "x.bin"},
         std::string("Open wire mode flash loader for rb7 ...\n") +
             tryLine("@DIR@/loaders/mine.s37", "Done"),
         true},
        // A /f: name gets neither prefix nor ending, and may be long.
        {{"x.bin", "/d", "/f:my-own-flash-loader-file.s37", "/l"},
         {"my-own-flash-loader-file.s37"},
         std::string("Open infrared mode flash loader for rb7 ...\n") +
             tryLine(".\\my-own-flash-loader-file.s37", "Done"),
         true},
    };
    for (const auto& tc : cases) {
        TempDir dir;
        for (const auto& f : tc.files)
            dir.write(f, "S00600004844521B\n");
        // @DIR@ stands for this case's directory.
        auto inDir = [&dir](std::string text) {
            for (size_t at; (at = text.find("@DIR@")) != std::string::npos;)
                text.replace(at, 5, dir.path());
            return text;
        };
        std::vector<std::string> args;
        for (const auto& a : tc.args)
            args.push_back(inDir(a));
        args.push_back(kNoDevice);
        ProcessResult r = runDownloadIn(dir, args);
        EXPECT_EQ(r.exitStatus, 1);
        std::string expected = kBanner + inDir(tc.expected);
        EXPECT_EQ(r.output.substr(0, expected.size()), expected) << tc.args[1];
        if (!tc.found) {
            EXPECT_EQ(r.output, expected);
        } else {
            EXPECT_NE(r.output.find("\nEntering Serial Mode\n"), std::string::npos) << r.output;
        }
    }
}

TEST(Cli, PortOpenFailures) {
    TempDir dir;
    dir.write("rb7.s37", "S00600004844521B\n");
    const std::string tips =
        "Tips: Check to see if the port be used or not properly closed by other program.";

    ProcessResult missing = runDownloadIn(dir, {"x.bin", "/l", "/c:/dev/does-not-exist"});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_NE(missing.output.find("\nEntering Serial Mode\n\nOpening /dev/does-not-exist\n"
                                  "Failed to open the port. Status = -14\n" +
                                  tips),
              std::string::npos)
        << missing.output;
    EXPECT_EQ(missing.output.substr(missing.output.size() - tips.size()), tips);
    // The device, the system's reason and the remedy, on standard error.
    const std::string unplugged =
        ": No such file or directory (is the adapter plugged in? see ls /dev/serial/by-id)\n";
    EXPECT_EQ(missing.errors, "\n/dev/does-not-exist" + unplugged);

    // /99 is COM99 (a device no machine here has).
    ProcessResult numbered = runDownloadIn(dir, {"x.bin", "/l", "/99"});
    EXPECT_EQ(numbered.exitStatus, 1);
    EXPECT_NE(numbered.output.find("\nOpening COM99\nFailed to open the port. Status = -14\n"),
              std::string::npos)
        << numbered.output;
    EXPECT_EQ(numbered.errors, "\n/dev/ttyS98" + unplugged);

    // A port that another program holds.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    SerialPort* held = serial_port_open(0, slave.c_str(), 38400, 'N', 8, 1);
    ASSERT_GE(held->status, 0);
    ProcessResult busy = runDownloadIn(dir, {"x.bin", "/l", "/c:" + slave});
    EXPECT_EQ(busy.exitStatus, 1);
    EXPECT_NE(busy.output.find("Failed to open the port. Status = -3\n" + tips), std::string::npos)
        << busy.output;
    EXPECT_EQ(busy.errors,
              "\n" + slave + ": Device or resource busy (another program holds the port)\n");
    held->ops.close(held);
    close(master);
}

// The trace, a station's journal and its logs never write over a file the
// run reads: one that is an input (also through a link), or that cannot be
// synced, is refused before any port opens.
TEST(Cli, AnOutputThatIsAnInputIsRefused) {
    TempDir dir;
    const std::string loader = "S00600004844521B\n";
    dir.write("rb7.s37", loader);
    dir.write("a.bin", "abcd");
    ASSERT_EQ(symlink("rb7.s37", dir.file("loader-link").c_str()), 0);
    const std::vector<std::string> station = {"--ports=A=/dev/null", "--answers=yes"};
    const struct {
        std::vector<std::string> args;
        std::string error;  // the last line on standard error
    } cases[] = {
        {{"--trace=a.bin", kNoDevice}, "a.bin: the trace file is a.bin"},
        {{"--trace=loader-link", kNoDevice}, "loader-link: the trace file is the flash loader"},
        {{"--journal=a.bin"}, "a.bin: the journal is a.bin"},
        {{"--journal=loader-link"}, "loader-link: the journal is .\\rb7.s37"},
        {{"--log-dir=a.bin"}, "a.bin: the log folder is a.bin"},
        {{"--journal=/dev/full"},
         "/dev/full: the journal must be a regular file (it is synced to the disk)\n"},
        // A control port or a page open to the network, without a token.
        {{"--control=0.0.0.0:7070"},
         "--control=0.0.0.0:7070: not a loopback address; a control port open to the network "
         "needs --control-token=FILE\n"},
        {{"--status-page=localhost"}, "--status-page=localhost: HOST:PORT, such as 127.0.0.1:8080"},
        {{"--control-token=missing.txt", "--status-page=[::]:8080"},
         "--control-token=missing.txt: "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"a.bin", "/l"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (c.args[0].rfind("--trace", 0) != 0)
            args.insert(args.end(), station.begin(), station.end());
        ProcessResult r = runDownloadIn(dir, args);
        EXPECT_EQ(r.exitStatus, 1);
        const std::string last = r.errors.substr(r.errors.rfind('\n', r.errors.size() - 2) + 1);
        EXPECT_EQ(last.rfind(c.error, 0), 0u) << r.errors;
        EXPECT_EQ(r.output.find("Entering Serial Mode"), std::string::npos);
        EXPECT_EQ(r.output.find("waiting for a phone"), std::string::npos);
        EXPECT_EQ(readFile(dir.file("a.bin")), "abcd");
        EXPECT_EQ(readFile(dir.file("rb7.s37")), loader);
    }
}

// A job made once pins its files: a run of it (alone or as a station) with a
// file that is not the job's, or with a job file that is not a whole one,
// stops before any port opens, naming the file, the field and what is wrong.
TEST(Cli, AJobPinsItsFiles) {
    using Json = nlohmann::ordered_json;
    const std::string kAbcd = "88d4266fd4e6338d13b845fcf289579d209c897823b9217da3e161936f031589";
    TempDir dir;
    const auto reset = [&dir] {
        dir.write("rb7.s37", "S00600004844521B\n");
        dir.write("a.bin", "abcd");
    };
    reset();
    dir.write("jobs/.keep", "");
    ProcessResult made = runDownloadIn(
        dir, {"--make-job=jobs/line.job", "a.bin:0x600000", "/l", "/s:460", "--answers=yes"});
    ASSERT_EQ(made.exitStatus, 0) << made.output << made.errors;
    const std::string text = readFile(dir.file("jobs/line.job"));
    const Json job = Json::parse(text, nullptr, false);
    ASSERT_TRUE(job.is_object()) << text;
    EXPECT_EQ(
        job.dump(),
        Json::parse(R"({"job":1,"name":"line","created":)" + job["created"].dump() +
                    R"(,"target":"rb7","mode":"wire","speed":460800,)"
                    R"("loader":{"file":"../rb7.s37","size":17,"sha256":)" +
                    job["loader"]["sha256"].dump() +
                    R"(},"images":[{"file":"../a.bin","address":6291456,)"
                    R"("size":4,"sha256":")" +
                    kAbcd + R"(","checksum":1684234849,"crc":)" + job["images"][0]["crc"].dump() +
                    R"(}],"answers":{"signature":"yes","overlap":"yes",)"
                    R"("crc":"yes"}})")
            .dump());
    EXPECT_TRUE(std::regex_match(job["created"].get<std::string>(),
                                 std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-9:]{8}Z")));
    const auto edit = [&](const std::function<void(Json&)>& change) {
        return [&dir, &job, change] {
            Json changed = job;
            change(changed);
            dir.write("jobs/line.job", changed.dump());
        };
    };
    // clang-format off
    const struct {
        const char* what;
        std::function<void()> change;
        std::string error;  // the start of the last line on standard error
    } cases[] = {
        {"the job's files", [] {}, ""},
        {"an image changed", [&] { dir.write("a.bin", "abce"); },
         "a.bin: SHA-256 88d4266fd4e6... expected, "},
        {"the loader missing", [&] { std::filesystem::remove(dir.file("rb7.s37")); },
         "rb7.s37: No such file or directory: the job needs this file"},
        {"no JSON", [&] { dir.write("jobs/line.job", "{\"job\":1,"); },
         "jobs/line.job: not valid JSON"},
        {"a field missing", edit([](Json& j) { j.erase("answers"); }),
         "jobs/line.job: answers: missing or not an object"},
        {"another format", edit([](Json& j) { j["job"] = 2; }),
         "jobs/line.job: job: missing or not 1 (the format this version reads)"},
        {"a digest that is none", edit([](Json& j) { j["images"][0]["sha256"] = "3F2A"; }),
         "jobs/line.job: images[0].sha256: not 64 lower-case hex digits"},
        {"a name that drives the terminal", edit([](Json& j) { j["name"] = "\x1b[2J"; }),
         "jobs/line.job: name: missing or not a text of 1 to 64 characters"},
        {"an address as text", edit([](Json& j) { j["images"][0]["address"] = "0x600000"; }),
         "jobs/line.job: images[0].address: missing or not an address from 1 to 4294967295"},
        {"a speed the target cannot take", edit([](Json& j) { j["target"] = "k52"; }),
         "jobs/line.job: speed: above 115200 only with rb7 in wire mode"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::vector<std::string>& line :
             {std::vector<std::string>{"--job=jobs/line.job", kNoDevice, "--events=events.json"},
              {"--job=jobs/line.job", "--ports=A=/dev/null"}}) {
            reset();
            dir.write("jobs/line.job", text);
            c.change();
            ProcessResult r = runDownloadIn(dir, line);
            // The job's own files reach the port (a station's slot that is no
            // port is unusable: 2).
            EXPECT_EQ(r.exitStatus, c.error.empty() && line.size() == 2 ? 2 : 1);
            const std::string last = r.errors.substr(r.errors.rfind('\n', r.errors.size() - 2) + 1);
            EXPECT_EQ(last.rfind(c.error, 0), 0u) << r.errors;
            EXPECT_EQ(r.output.find("Entering Serial Mode") == std::string::npos &&
                          r.output.find("waiting for a phone") == std::string::npos,
                      !c.error.empty())
                << r.output;
        }
        const std::string events = readFile(dir.file("events.json"));
        EXPECT_EQ(events.find(R"("images":1,"job":{"name":"line","sha256":")") != std::string::npos,
                  c.error.empty())
            << events;
        std::filesystem::remove(dir.file("events.json"));
    }
}

// The tool on a terminal, waiting for a phone that never announces itself.
struct TerminalRun {
    enum Input { Terminal, NoTerminal };
    TerminalRun(const TempDir& dir, Input input, bool closedOutput = false) {
        phone = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(phone);
        unlockpt(phone);
        port = ptsname(phone);
        const std::string portArg = "/c:" + port;
        pid = forkpty(&console, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (chdir(dir.path().c_str()) != 0) _exit(126);
            if (input == NoTerminal) {
                const int null = open("/dev/null", O_RDONLY);
                dup2(null, 0);
            }
            if (closedOutput) {
                // A reader that has gone away, as with download ... | head.
                int fds[2];
                if (pipe(fds) != 0) _exit(126);
                close(fds[0]);
                dup2(fds[1], 1);
            }
            signal(SIGPIPE, SIG_DFL);  // ignored by this test process for its own pipes
            execl(DOWNLOAD_EXE, DOWNLOAD_EXE, "x.bin", "/l", portArg.c_str(), nullptr);
            _exit(127);
        }
    }
    ~TerminalRun() {
        if (pid > 0) kill(pid, SIGKILL);
        close(console);
        close(phone);
    }
    // Reads the console until text appears (or a few seconds pass).
    bool waitFor(const std::string& text) {
        for (int i = 0; i < 500 && output.find(text) == std::string::npos; ++i) {
            char buf[256];
            ssize_t n = read(console, buf, sizeof buf);
            if (n > 0) output.append(buf, static_cast<size_t>(n));
            if (n <= 0) usleep(10000);
        }
        return output.find(text) != std::string::npos;
    }
    tcflag_t localFlags() const {
        struct termios t;
        tcgetattr(console, &t);
        return t.c_lflag;
    }
    // The tool's wait status; a tool still running after 10 s is killed.
    int wait() {
        int status = 0;
        for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; ++i)
            usleep(10000);
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        pid = -1;
        return status;
    }
    int phone = -1;
    int console = -1;
    pid_t pid = -1;
    std::string port;
    std::string output;
};

// Whether a terminal device is in exclusive mode (which root's own opens
// pass, so ask the flag itself).
bool exclusive(const std::string& device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return true;
    int flag = 0;
    const bool failed = ioctl(fd, TIOCGEXCL, &flag) != 0;
    close(fd);
    return failed || flag != 0;
}

// However the run ends, the terminal edits and echoes again and the port is
// free for the next program, while the phone's side is still connected.
TEST(Cli, TheTerminalAndThePortAreReleasedHoweverTheRunEnds) {
    TempDir dir;
    dir.write("rb7.s37", "S00600004844521B\n");
    const struct {
        TerminalRun::Input input;
        char key;    // typed on the console, or
        int signal;  // sent to the tool (-1: the phone's side goes away)
        int exitStatus;
        int deathSignal;
    } cases[] = {
        {TerminalRun::Terminal, 'q', 0, 1, 0},
        {TerminalRun::Terminal, '\x03', 0, kExitInterrupted, 0},
        {TerminalRun::Terminal, 0, SIGTERM, -1, SIGTERM},
        {TerminalRun::NoTerminal, 0, SIGHUP, -1, SIGHUP},
        {TerminalRun::NoTerminal, 0, SIGTERM, -1, SIGTERM},
        // An adapter pulled out: the wait ends at once.
        {TerminalRun::Terminal, 0, -1, 1, 0},
    };
    for (const auto& tc : cases) {
        const std::string what = tc.key != 0     ? "key " + std::to_string(tc.key)
                                 : tc.signal < 0 ? std::string("hang-up")
                                                 : std::string(strsignal(tc.signal));
        TerminalRun run(dir, tc.input);
        ASSERT_GT(run.pid, 0);
        ASSERT_TRUE(run.waitFor("Press q to Quit")) << run.output;
        if (tc.input == TerminalRun::Terminal) {
            // While waiting, a key is seen without Enter and not echoed.
            EXPECT_EQ(run.localFlags() & (ICANON | ECHO), 0U);
        }
        if (tc.key != 0) {
            ASSERT_EQ(write(run.console, &tc.key, 1), 1);
        } else if (tc.signal < 0) {
            close(run.phone);
            run.phone = -1;
        } else {
            kill(run.pid, tc.signal);
        }
        int status = run.wait();
        if (tc.deathSignal == 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == tc.exitStatus) << what;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == tc.deathSignal) << what;
        }
        EXPECT_EQ(run.localFlags() & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO)) << what;
        if (tc.signal < 0) {
            EXPECT_TRUE(run.waitFor("Serial port failed. Status = -1")) << run.output;
        } else {
            EXPECT_FALSE(exclusive(run.port)) << what << ": the port is still held";
        }
    }

    // Output into a closed pipe ends the tool by SIGPIPE: the terminal too
    // comes back.
    TerminalRun piped(dir, TerminalRun::Terminal, true);
    ASSERT_GT(piped.pid, 0);
    const int status = piped.wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE);
    EXPECT_EQ(piped.localFlags() & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

// askYesNo reads the console's standard input: feed it from a pipe.
class YesNo : public ::testing::Test {
protected:
    void feed(const std::string& bytes) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fds[1]);
        savedStdin_ = dup(0);
        dup2(fds[0], 0);
        close(fds[0]);
    }
    void TearDown() override {
        if (savedStdin_ >= 0) {
            dup2(savedStdin_, 0);
            close(savedStdin_);
        }
    }
    int savedStdin_ = -1;
};

TEST_F(YesNo, OnlyNAnswersNo) {
    const struct {
        std::string key;
        bool answer;
    } cases[] = {{"n", false}, {"N", false}, {"y", true}, {"\n", true}, {"x", true}, {"q", true}};
    for (const auto& tc : cases) {
        feed(tc.key);
        testing::internal::CaptureStdout();
        bool answer = askYesNo("Continue?[y/n]", QuestionCrc);
        std::string out = testing::internal::GetCapturedStdout();
        TearDown();
        savedStdin_ = -1;
        EXPECT_EQ(answer, tc.answer) << tc.key;
        EXPECT_EQ(out, "\nContinue?[y/n]" + tc.key + "\n");
    }
}

TEST_F(YesNo, EndOfInputStopsTheRun) {
    feed("");
    // The console writes to standard output; the death test reads standard error.
    EXPECT_EXIT(
        {
            dup2(2, 1);
            askYesNo("Continue?[y/n]", QuestionCrc);
        },
        testing::ExitedWithCode(1), "Continue\\?\\[y/n\\]\nNo answer: the console input has ended");
}

}  // namespace
