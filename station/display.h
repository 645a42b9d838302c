// What the operator sees: on a terminal one row per slot and a totals line,
// redrawn in place; otherwise one plain line per change of state.
#pragma once

#include <string>
#include <vector>

// Whether the table is drawn in place (a terminal that takes escapes), and
// in colour (unless NO_COLOR is set).
void displayStart();
bool displayInPlace();

// The rows (slots and totals), drawn over the ones drawn before.
void displayTable(const std::vector<std::string>& rows);
// Text below the table that stays (the summary): the table is left as it is.
void displayEnd();
// One line of its own (not on a terminal: a change of state).
void displayLine(const std::string& text);
