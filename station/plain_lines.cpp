#include "station/plain_lines.h"

#include <ctime>

#include "app/console.h"
#include "platform/terminal.h"

std::string localTime(int64_t wallMs, const char* format) {
    const std::time_t seconds = static_cast<std::time_t>(wallMs / 1000);
    const std::tm* local = std::localtime(&seconds);
    char text[64] = "";
    if (local != nullptr) std::strftime(text, sizeof text, format, local);
    return text;
}

std::string clockOfDay(int64_t wallMs) {
    return localTime(wallMs, "%H:%M:%S");
}

std::string screenText(const std::string& text) {
    std::string shown = text;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return shown;
}

void sayStationLine(const std::string& text, bool urgent) {
    const std::string line = clockOfDay(wallMs()) + " " + screenText(text);
    if (urgent) consoleNote("%s", line.c_str());
    if ((!urgent || !terminal_streams_same()) && !consoleOutputLost())
        consolePrint("%s\n", line.c_str());
}

void PlainLines::slotChanged(const Station&, const Slot& slot, const std::string& line) {
    if (!consoleOutputLost())
        consolePrint("%s [%s] %s\n", clockOfDay(wallMs()).c_str(), slot.name.c_str(),
                     screenText(line).c_str());
}

void PlainLines::stationSaid(const Station&, const std::string& text, bool urgent) {
    sayStationLine(text, urgent);
}
