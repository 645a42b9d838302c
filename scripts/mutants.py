#!/usr/bin/env python3
"""Mutation check: applies one realistic fault at a time to a copy of the
tree, builds it (debug preset: ASan+UBSan) and runs the unit tests and the
native end-to-end tests. A mutant is killed when a test fails. Prints each
mutant's fate and the share killed.

    scripts/mutants.py [--work DIR] [NAME...]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

# (name, file, text, replacement): one fault each.
MUTANTS = [
    ("exit status from the last image", "app/run.cpp",
     "if (!transferImage(runConfig, i)) allVerified = false;",
     "allVerified = transferImage(runConfig, i);"),
    ("/h before dongle mode", "app/run.cpp",
     "if (config.linkMode == LinkDongle) return true;\n    if (run().skipEnqWait) return false;",
     "if (run().skipEnqWait) return false;\n    if (config.linkMode == LinkDongle) return true;"),
    ("COM number without +1", "app/run.cpp",
     "static_cast<int>(runConfig.portIndex + 1)", "static_cast<int>(runConfig.portIndex)"),
    ("ENQ wait ignores a failed port", "app/run.cpp",
     "if (byte < 0 && byte != PORT_NO_DATA) {", "if (false) {"),
    ("Q quits too", "app/run.cpp", "if (key == 'q') {", "if ((key | 0x20) == 'q') {"),
    ("wrong ENQ answer", "app/run.cpp", "kEnqAnswer = 0x7E", "kEnqAnswer = 0x7F"),
    ("no settle after the first stage", "app/run.cpp",
     "printRule('~');\n    delayMs(500);", "printRule('~');"),
    ("line not raised after P", "app/run.cpp",
     "setUpLink(state.runPort, speed, 'N', 8, 1, state.runConfig);\n", ""),
    ("no T at the end", "app/run.cpp", "sendCommand(CmdEnd, 0);", ""),
    ("port index not less one", "app/command_line.cpp",
     "parseDecimal(arg + 1) - 1", "parseDecimal(arg + 1)"),
    ("/s: with rb7 or wire", "app/command_line.cpp",
     "(config.target != TargetRb7 || config.linkMode != LinkWire)",
     "(config.target != TargetRb7 && config.linkMode != LinkWire)"),
    ("address 0 accepted", "app/command_line.cpp", "if (address == 0) {", "if (false) {"),
    ("eleven images", "app/command_line.cpp", "} else if (config.imageCount >= kMaxImages) {",
     "} else if (config.imageCount > kMaxImages) {"),
    ("/p as /l", "app/command_line.cpp",
     "config.loaderSearch = 2;", "config.loaderSearch = 1;"),
    ("a lone CR ends a line", "app/channel.cpp", "if (lfSeen) break;", "break;"),
    ("line buffer one too long", "app/channel.cpp",
     "stored < kReplyLineSize - 1", "stored < kReplyLineSize"),
    ("Test: Fail passes", "app/channel.cpp",
     "t.token[2] == \"Pass\"   ? ReplyRamPass", "t.token[2] == \"Fail\"   ? ReplyRamPass"),
    ("value lines from \"0\"", "app/channel.cpp",
     "startsWith(first, \"0x\")", "startsWith(first, \"0\")"),
    ("bank size equal asks", "app/channel.cpp",
     "static_cast<uint32_t>(run().currentImage.size) > bankSize",
     "static_cast<uint32_t>(run().currentImage.size) >= bankSize"),
    ("dongle pacing 4 ms", "app/channel.cpp", "delayMs(40);", "delayMs(4);"),
    ("ITEST four digits", "app/channel.cpp", "token.substr(6, 3)", "token.substr(6, 4)"),
    ("only AT itself is an echo", "app/channel.cpp",
     "if (startsWith(first, \"AT\")) continue;", "if (first == \"AT\") continue;"),
    ("DEL printed", "app/channel.cpp", "|| c == 0x7F;", "|| c == 0x7E;"),
    ("dongle code 0x8B -> 0x8A", "app/link.cpp", "0xD0, 0x8B, 0x90", "0xD0, 0x8A, 0x90"),
    ("no dongle settle", "app/link.cpp", "delayMs(500);\n    int row", "int row"),
    ("only F5 acknowledges", "app/link.cpp",
     "answer == 0xF4 || answer == 0xF5", "answer == 0xF5"),
    ("three wake-up attempts", "app/link.cpp", "attempt < 10", "attempt < 3"),
    ("1 ms for the dongle's answer", "app/link.cpp",
     "port_read_byte_timed(port, 10)", "port_read_byte_timed(port, 1)"),
    ("DTR not raised after programming", "app/link.cpp",
     "port->ops.set_dtr(port, 1);\n        port->ops.set_line", "port->ops.set_line"),
    ("identity 11 takes the old RAM test", "app/irom.cpp", "identity < 11", "identity <= 11"),
    ("retry with the 8-bit set-up", "app/irom.cpp",
     "sendCommand(CmdCsSetup16, 0);", "sendCommand(CmdCsSetup8, 0);"),
    ("detection stays at 38400", "app/irom.cpp",
     "port->ops.set_line(port, kBaseSpeed, 'N', 8, 1);", ""),
    ("start transfer AT**2", "app/irom.cpp",
     "sendCommand(CmdStartTransfer, 3);", "sendCommand(CmdStartTransfer, 2);"),
    ("ACK wait 100 ms", "app/loader.cpp",
     "port_read_byte_timed(run().runPort, 1000)", "port_read_byte_timed(run().runPort, 100)"),
    ("DEL and high bytes echoed", "app/loader.cpp",
     "byte >= 0x20 && byte <= 0x7E", "byte >= 0x20"),
    ("CR LF kept", "app/loader.cpp", "if (next == '\\n') {", "if (false) {"),
    ("c: before p:", "app/loader.cpp",
     "{\"p:\\\\tools\\\\\", \"c:\\\\tools\\\\\", \".\\\\\"}",
     "{\"c:\\\\tools\\\\\", \"p:\\\\tools\\\\\", \".\\\\\"}"),
    ("filler 0x00 in the CRC", "app/image.cpp",
     "crc16Step(0xFF, sums.crc);", "crc16Step(0x00, sums.crc);"),
    ("signature at 67", "app/image.cpp", "std::fseek(file, 68, SEEK_SET)",
     "std::fseek(file, 67, SEEK_SET)"),
    ("span one short", "app/image.cpp", "+ 0xFFFFU", "+ 0xFFFEU"),
    ("KiB rounded down", "app/image.cpp", "+ 512U) / 1024U", "+ 511U) / 1024U"),
    ("no 2 GiB limit", "app/image.cpp",
     "if (length < 0 || length > INT32_MAX) {", "if (length < 0) {"),
    ("previous image file kept open", "app/image.cpp",
     "if (image.stream != nullptr) std::fclose(image.stream);", ""),
    ("typed name keeps its CR", "platform/terminal.cpp",
     "if (stored > 0 && buffer[stored - 1] == '\\r') --stored;", ""),
    ("progress count not reset", "app/transfer.cpp",
     "run().glyphCount = 0;\n", ""),
    ("no drain before C", "app/transfer.cpp",
     "port_drain_input(port);\n    consoleWrite(\"\\nRequesting FLASH checksum\\n\");",
     "consoleWrite(\"\\nRequesting FLASH checksum\\n\");"),
    ("100 % shown early", "app/transfer.cpp",
     "if (percent == 100 && glyphCount != kib) percent = 99;", ""),
    ("an empty block is zeros", "app/transfer.cpp",
     "if (allBlank) {", "if (allBlank && !allZero) {"),
    ("block wait 5 s", "app/transfer.cpp", "readReply(15, &state.runValue);",
     "readReply(5, &state.runValue);"),
    ("erase wait 5 s", "app/transfer.cpp", "readReply(45, &state.runValue);",
     "readReply(5, &state.runValue);"),
    ("CRC compared in 32 bits", "app/transfer.cpp",
     "static_cast<uint32_t>(state.runValue) & 0xFFFFU", "static_cast<uint32_t>(state.runValue)"),
    ("a missing checksum matches", "app/transfer.cpp",
     "int64_t flashChecksum = -1;", "int64_t flashChecksum = sums.checksum;"),
    ("no limit never ends", "serial/port.cpp",
     "if (timeout_ms != -1 && reached(tick_ms(), deadline)) return PORT_NO_DATA;",
     "if (reached(tick_ms(), deadline)) return PORT_NO_DATA;"),
    ("a write forgets the sticky status", "serial/port.cpp",
     "const int32_t saved = port->status;", "const int32_t saved = PORT_OK;"),
    ("drain reads once", "serial/port.cpp",
     "if (port->count == 0) return PORT_OK;", "return PORT_OK;"),
    ("RTS before DTR at close", "serial/port.cpp",
     "port->ops.set_dtr(port, 0);\n    port->ops.set_rts(port, 0);",
     "port->ops.set_rts(port, 0);\n    port->ops.set_dtr(port, 0);"),
    ("modem lines kept at close", "serial/port.cpp", "port->ops.set_dtr(port, 0);", ""),
    ("a hang-up reads as no data", "serial/posix_port.cpp",
     "if (hung_up(fd)) return fail(port);", "if (hung_up(fd) && false) return fail(port);"),
    ("exclusive mode kept at close", "serial/posix_port.cpp",
     "    dev_ioctl(fd, TIOCNXCL);\n    return ::close(fd);", "    return ::close(fd);"),
    ("idle wait misses a hang-up", "serial/posix_port.cpp",
     "if (poll(&p, 1, timeout) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))",
     "if (poll(&p, 1, timeout) < 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))"),
    ("460800 set as 230400", "serial/posix_port.cpp", "{460800, B460800}", "{460800, B230400}"),
    ("even parity set as odd", "serial/port.cpp", "static const char kLetters[] = \"NOEMS\";",
     "static const char kLetters[] = \"NEOMS\";"),
    ("signal path keeps the port", "platform/posix.cpp",
     "    port_release_all_on_signal();\n    restore_terminal();", "    restore_terminal();"),
    ("Ctrl-C dies by the signal", "platform/posix.cpp",
     "if (sig == SIGINT) _exit(kExitInterrupted);", ""),
    ("typed-ahead keys kept", "app/run_state.cpp", "    consoleDropTypedAhead();\n", ""),
    ("overlap in signed 32 bits", "app/image.cpp",
     "return b.first - a.first < a.length || a.first - b.first < b.length;",
     "return static_cast<int32_t>(b.first) >= static_cast<int32_t>(a.first) && "
     "static_cast<int32_t>(b.first) <= static_cast<int32_t>(a.first + a.length - 1U);"),
    ("a directory is an image", "platform/files.cpp",
     "return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);",
     "return fstat(fileno(file), &st) == 0;"),
    ("Ctrl-Z sent", "app/loader.cpp", "if (ch == kEndOfText) {", "if (false) {"),
    ("C1 bytes hidden", "app/channel.cpp", "|| c == 0x7F;", "|| c == 0x7F || (c >= 0x80 && c < 0xA0);"),
    ("no note when the device goes", "app/run_state.cpp",
     "if (gone) consoleNote(\"the serial device disappeared\");", "(void)gone;"),
    ("blocks not counted", "app/transfer.cpp", "++flash.blocksSent;", "(void)flash;"),
    ("no refusal note", "app/channel.cpp",
     "if (run().refusalNote[0] != '\\0') consoleNote(\"%s\", run().refusalNote);", ""),
    ("no summary of several images", "app/run.cpp", "if (runConfig.imageCount > 1) {",
     "if (runConfig.imageCount > 10) {"),
    ("an absolute /f: searched", "app/loader.cpp",
     "if (config.loaderName != nullptr && path_is_absolute(config.loaderName)) {", "if (false) {"),
    ("an absolute image path is an option", "app/command_line.cpp",
     "if (!kSlashMayStartAPath) return false;", "return false;"),
    ("help opens the port", "app/run.cpp", "if (valid && runConfig.showHelp) {",
     "if (valid && runConfig.showHelp && false) {"),
    ("no remedy", "serial/posix_port.cpp", "return \"another program holds the port\";",
     "return \"\";"),
    ("trace without blocks", "app/transfer.cpp",
     "traceBlock(number, static_cast<uint32_t>(got), \"data\", static_cast<uint32_t>(got));", ""),
    ("progress every block", "app/progress.cpp", "percent / 5 == lastStep / 5", "false"),
    # The review's fixes, the unattended run, the station.
    ("nohup overridden", "platform/posix.cpp", "now.sa_handler == SIG_DFL)", "true)"),
    ("signal path keeps low latency", "serial/posix_port.cpp",
     "if (device.restore_serial != 0) dev_ioctl", "if (device.restore_serial != 0 && false) dev_ioctl"),
    ("a byte before the sleep sleeps", "serial/posix_port.cpp",
     "static_cast<short>(input ? POLLIN : 0)", "static_cast<short>(input && false ? POLLIN : 0)"),
    ("Ctrl-C at a question is yes", "app/run_state.cpp", "if (key == kCtrlC) interruptRun();\n        consolePrint", "consolePrint"),
    ("empty images compare as empty ranges", "app/image.cpp",
     "if (fitsSigned(a) && fitsSigned(b)) return", "if (false && fitsSigned(a) && fitsSigned(b)) return"),
    ("trace over an image", "app/run.cpp",
     "if (file_same(config.traceFile, config.imageNames[i])) input = config.imageNames[i];", ""),
    ("phone line on the counter's line", "app/channel.cpp", "    progressBreakLine();\n", ""),
    ("--answers asks anyway", "app/run_state.cpp", "const char given = state.runConfig.answers[kind];",
     "(void)kind;\n    const char given = '\\0';"),
    ("a missing image prompts under --answers", "app/image.cpp",
     "if (file == nullptr && answersGiven(run().runConfig)) {", "if (false) {"),
    ("no image event", "app/image.cpp", "    eventImage(index,", "    if (false) eventImage(index,"),
    ("no end event on a signal", "app/events.cpp",
     "    terminal_set_signal_event(output, startUs, signalLines[next][1].c_str(),\n"
     "                              signalLines[next][0].c_str());", ""),
    ("verdict without the phone's CRC", "app/events.cpp",
     "{\"phone_crc\", phoneCrc < 0 ? Json(nullptr) : Json(phoneCrc)}",
     "{\"phone_crc\", phoneCrc < 0 ? Json(nullptr) : Json(nullptr)}"),
    ("a ttyS without a UART listed", "platform/serial_ports_posix.cpp",
     "attribute(tty + \"/type\") == \"0\") return false;", "false) return false;"),
    ("station: the same device twice", "app/command_line.cpp",
     "std::strcmp(a.device, b.device) == 0 || file_same(a.device, b.device)", "false"),
    # The station's code, faults written from the code alone.
    ("slot: the phone starts at its ENQ wait", "station/slot.cpp",
     "if (stage != \"enq-wait\" && !phone.started) {", "if (!phone.started) {"),
    ("slot: half a line taken as an event", "station/slot.cpp",
     "            } else if (newline != nullptr) {", "            } else {"),
    ("slot: no bound on a worker's line", "station/slot.cpp",
     "if (slot.pending.size() > kMaxEventLine) {", "if (false) {"),
    ("slot: an overlong line skipped for good", "station/slot.cpp",
     "        if (slot.skipping) {\n            slot.skipping = newline == nullptr;",
     "        if (slot.skipping) {\n            slot.skipping = true;"),
    ("slot: an event resets no clock", "station/slot.cpp",
     "    if (event.is_discarded() || !event.is_object()) return;\n    slot.lastWordMs = nowMs;",
     "    if (event.is_discarded() || !event.is_object()) return;"),
    ("slot: the wait for a phone has a limit", "station/slot.cpp",
     "    if (stage == \"end\") return 20;\n    return 0;",
     "    if (stage == \"end\") return 20;\n    return 30;"),
    ("slot: killed after the shorter bound", "station/slot.cpp",
     "<= kStopGraceSeconds)", "<= kAbandonSeconds)"),
    ("slot: a worker never given up", "station/slot.cpp",
     "                   ? SlotAction::Abandon\n                   : SlotAction::None;",
     "                   ? SlotAction::None\n                   : SlotAction::None;"),
    ("slot: an interrupted phone counts as failed", "station/slot.cpp",
     "} else if (phone.result == \"interrupted\") {", "} else if (false) {"),
    ("slot: a stop's cause not on the record", "station/slot.cpp",
     "        phone.result = \"interrupted\";\n        phone.reason = slot.stopCause",
     "        phone.result = \"interrupted\";\n        phone.reason = phone.reason"),
    ("slot: the answers' echo is a cause", "station/slot.cpp",
     "if (!slot.answerEcho.empty() && note == slot.answerEcho) {", "if (false) {"),
    ("slot: an exit status made up", "station/slot.cpp",
     "integer(event, \"exit_status\", 0, 255, &status) ? Json(status) : Json();",
     "integer(event, \"exit_status\", 0, 255, &status) ? Json(status) : Json(0);"),
    ("slot: a worker silent from its start only stopped", "station/slot.cpp",
     "if (slot.unusable.empty() && slot.stop != SlotStop::Watchdog &&",
     "if (slot.unusable.empty() &&"),
    ("supervisor: the record after its end is shown", "station/supervisor.cpp",
     "    worker_free(worker);\n    if (slotWorkerEnded(",
     "    worker_free(worker);\n    publish(slot);\n    if (slotWorkerEnded("),
    ("supervisor: Ctrl-C not passed on", "station/supervisor.cpp",
     "            worker_stop(workers_[i], true);\n", ""),
    ("supervisor: q takes phones still", "station/supervisor.cpp",
     "void Loop::quit() {\n    station_.stopping = true;", "void Loop::quit() {"),
    ("supervisor: a changed file does not halt", "station/supervisor.cpp",
     "                halt(slot.inputChanged);\n", ""),
    ("supervisor: a lost record does not halt", "station/supervisor.cpp",
     "if (!trouble.empty()) halt(trouble);", "(void)trouble;"),
    ("supervisor: a log over the first taken name", "station/supervisor.cpp",
     "        if (!exists) break;", "        break;"),
    ("supervisor: the watchdog's stop not sent", "station/supervisor.cpp",
     "        case SlotAction::Stop:\n            worker_stop(workers_[i], false);",
     "        case SlotAction::Stop:"),
    ("journal: a torn line not ended", "station/journal.cpp",
     "!output_write(file_, \"\\n\", 1)) {", "false) {"),
    ("journal: a failed record left half", "station/journal.cpp",
     "if (before >= 0 && output_cut(file_, before)) output_sync(file_);", ""),
    ("journal: a device taken for a journal", "station/journal.cpp",
     "if (!output_is_regular(file_)) {", "if (false) {"),
    ("journal: no log in the record", "station/journal.cpp",
     "{\"log\", orNull(phone.logFile)}", "{\"log\", Json()}"),
    ("journal: without the phone's sums", "station/journal.cpp",
     "{\"phone_crc\", image.phoneCrc},", "{\"phone_crc\", Json()},"),
    ("table: the last column written", "station/table.cpp",
     "const size_t usable = columns > 1 ? columns - 1 : 1;", "const size_t usable = columns;"),
    ("table: a slot's name cut at its end", "station/table.cpp",
     "padded(name, nameWidth, true)", "padded(name, nameWidth)"),
    ("table: slots beyond the terminal's rows", "station/table.cpp",
     "if (table.size() + 1 > static_cast<size_t>(rows)) {", "if (false) {"),
    ("inputs: the loader's digest not handed on", "station/inputs.cpp",
     "if (!station.identity.loaderSha256.empty())", "if (false)"),
    ("inputs: the journal may be an image", "station/inputs.cpp",
     "if (file_same(path, image.file.c_str())) return image.file;",
     "if (file_same(path, image.file.c_str())) return \"\";"),
    ("expect: the size alone compared", "app/expect.cpp",
     "(size == expected.size && sha256 == expected.sha256)", "size == expected.size"),
    ("station: a halt ends with 0", "station/station.cpp",
     "    if (!station.halt.empty()) return kExitAbort;\n", ""),
    ("station: interrupted phones end with 0", "station/station.cpp",
     "    if (!station.stopCause.empty()) return kExitInterrupted;\n", ""),
    ("station: dies of a closed output", "station/station.cpp",
     "    terminal_keep_running();\n", ""),
    ("command line: --ports cut in place", "app/command_line.cpp",
     "    slotTexts().emplace_back(list);\n    char* item = slotTexts().back().data();",
     "    char* item = const_cast<char*>(list);"),
    ("command line: a slot named ..", "app/command_line.cpp",
     "if (text == \".\" || text == \"..\")", "if (text == \".\")"),
    ("workers: the station's ignored signals", "platform/process_posix.cpp",
     "    for (int sig = 1; sig < NSIG; ++sig)\n        sigaction(sig, &initial, nullptr);\n", ""),
    ("workers: run by the program's name", "platform/process_posix.cpp",
     "    if (access(\"/proc/self/exe\", X_OK) == 0) return \"/proc/self/exe\";\n", ""),
    ("workers: the station's files inherited", "platform/files.cpp",
     "std::fopen(path, \"rbe\");", "std::fopen(path, \"rb\");"),
    ("stop request taken again and again", "platform/process_posix.cpp",
     "switch (stop_signal.exchange(0)) {", "switch (stop_signal.load()) {"),
    ("terminal: modes set from the background", "platform/posix.cpp",
     "if (!terminal_saved || !in_foreground()) return;", "if (!terminal_saved) return;"),
    ("events: the phone heard once in a while", "app/events.cpp",
     "if (said && now - lastMs < 1000) return;", "if (said && now - lastMs < 1000000) return;"),
    ("console: a note runs into the glyphs", "app/console.cpp",
     "    terminal_output_line_open(text[length - 1] != '\\n' && streamsSame());\n", ""),
    # The production line: jobs, quarantine, signals, healing, statistics.
    ("job: the digest not compared", "station/job.cpp",
     "if (sha256 != file->sha256 || size != file->size)", "if (size != file->size)"),
    ("job: an image on its line taken", "app/command_line.cpp",
     "reason = job ? kJobGivesIt : parseImage(arg, config);",
     "reason = parseImage(arg, config);"),
    ("quarantine: one failure late", "station/slot.cpp",
     "++slot.failuresInRow >= slot.quarantineAfter", "++slot.failuresInRow > slot.quarantineAfter"),
    ("quarantine: a verified phone keeps the count", "station/slot.cpp",
     "        ++slot.verified;\n        slot.failuresInRow = 0;\n", "        ++slot.verified;\n"),
    ("quarantine: r keeps the count", "station/slot.cpp",
     "    slot.quarantined = false;\n    slot.failuresInRow = 0;\n",
     "    slot.quarantined = false;\n"),
    ("bell: once at a quarantine", "station/signals.cpp",
     "slot.quarantined ? 3 : 1", "slot.quarantined ? 1 : 1"),
    ("stats: the yield over every phone", "station/stats.cpp",
     "static_cast<double>(row.verified + row.failed));",
     "static_cast<double>(row.phones));"),
    ("stats: a torn line not counted", "station/stats.cpp",
     "if (overlong || (!line.empty() && !statsTake(line, by, &rows, &all))) ++skipped;",
     "if (!line.empty()) statsTake(line, by, &rows, &all);\n            if (overlong) ++skipped;"),
    ("healing: a gone device not looked for", "station/supervisor.cpp",
     "        if (!serial_device_present(slot.device.c_str())) {\n            if (!slot.noAdapter)",
     "        if (false) {\n            if (!slot.noAdapter)"),
]


def run(cmd, cwd, timeout=None):
    return subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", default="/tmp/download-mutants")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    work = args.work
    if os.path.exists(work):
        shutil.rmtree(work)
    shutil.copytree(top, work, ignore=shutil.ignore_patterns("build", ".git"))
    env = dict(os.environ)
    print("building the unmutated tree...", flush=True)
    for cmd in (["cmake", "--preset", "debug"], ["cmake", "--build", "--preset", "debug"]):
        r = run(cmd, work)
        if r.returncode != 0:
            print(r.stdout[-3000:])
            return 2
    chosen = [m for m in MUTANTS if not args.names or m[0] in args.names]
    killed, survived, stillborn = [], [], []
    for name, path, text, replacement in chosen:
        file = os.path.join(work, path)
        original = open(file).read()
        if original.count(text) != 1:
            print(f"?? {name}: the text is not in {path} exactly once", flush=True)
            stillborn.append(name)
            continue
        open(file, "w").write(original.replace(text, replacement))
        start = time.time()
        try:
            b = run(["cmake", "--build", "--preset", "debug"], work)
            if b.returncode != 0:
                print(f"-- {name}: does not build", flush=True)
                stillborn.append(name)
                continue
            t = run(["ctest", "--preset", "debug", "-j2", "--stop-on-failure", "-E", "Wine"],
                    work, timeout=1800)
            if t.returncode != 0:
                failed = [m.group(1) for m in
                          (re.search(r"Test +#\d+: (\S+) .*\*\*\*(?!Skipped)", l)
                           for l in t.stdout.splitlines())
                          if m]
                killed.append(name)
                print(f"KILLED   {name} ({time.time() - start:.0f} s) {failed[:2]}", flush=True)
            else:
                survived.append(name)
                print(f"SURVIVED {name} ({time.time() - start:.0f} s)", flush=True)
        finally:
            open(file, "w").write(original)
    run(["cmake", "--build", "--preset", "debug"], work)
    total = len(killed) + len(survived)
    if total:
        print(f"\n{len(killed)} of {total} mutants killed ({100 * len(killed) / total:.0f} %),"
              f" {len(stillborn)} not applicable")
    for name in survived:
        print(f"  survived: {name}")
    return 0 if not survived else 1


if __name__ == "__main__":
    sys.exit(main())
