#include "station/display.h"

#include <cstdlib>

#include "app/console.h"
#include "platform/terminal.h"

namespace {

bool inPlace = false;
bool colour = false;
size_t drawn = 0;  // rows of the table on the screen

// A row's colour by what it says.
const char* colourOf(const std::string& row) {
    if (!colour) return "";
    if (row.find("FAILED") != std::string::npos || row.find("unusable") != std::string::npos)
        return "\x1b[31m";
    if (row.find("verified") != std::string::npos) return "\x1b[32m";
    return "";
}

}  // namespace

void displayStart() {
    inPlace = terminal_output_is_console() && terminal_escapes();
    colour = inPlace && std::getenv("NO_COLOR") == nullptr;
}

bool displayInPlace() {
    return inPlace;
}

void displayTable(const std::vector<std::string>& rows) {
    if (!inPlace) return;
    std::string text;
    if (drawn > 0) text += "\x1b[" + std::to_string(drawn) + "A";
    for (const std::string& row : rows) {
        const char* on = colourOf(row);
        text += std::string("\r\x1b[K") + on + row + (on[0] != '\0' ? "\x1b[0m" : "") + "\n";
    }
    drawn = rows.size();
    consoleWrite(text.c_str());
}

void displayEnd() {
    drawn = 0;
}

void displayLine(const std::string& text) {
    consolePrint("%s\n", text.c_str());
}
