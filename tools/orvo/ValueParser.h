#pragma once

// Text-to-value parsing for the command line and scenario files. Strict:
// the whole text must be a value of the requested type, in range.

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

// One parsed value; which member is meaningful follows the data type code
// (0 short, 1 long, 2/4 double, 3 float, 5 bool, 6 string).
struct TypedValue {
    uint32_t dataType = 4;
    int32_t integer = 0;  // short, long, bool (0/1)
    double real = 0.0;    // float, double
    std::string text;     // string
};

// A NAME=VALUE pair; `origin` says where it came from, for messages.
struct Assignment {
    std::string name;
    std::string value;
    std::string origin;
};

// False with `error` set when `text` is not a value of the data type.
bool ParseValue(uint32_t dataType, std::string_view text, TypedValue& value, std::string& error);

// Splits NAME=VALUE at the first '='; name and value are trimmed of blanks.
bool ParseAssignment(std::string_view text, Assignment& assignment, std::string& error);

// A variable's name as the library compares it: any case, a[2] as a(2), no blanks.
std::string FoldedName(std::string_view name);

// Reads NAME=VALUE lines; blank lines and everything from '#' are ignored.
// `fileName` only labels the origins and messages ("FILE:LINE").
bool ReadScenario(std::istream& in, const std::string& fileName, std::vector<Assignment>& out,
                  std::string& error);

// Comma-separated names, each trimmed; an empty item is an error.
bool SplitNameList(std::string_view text, std::vector<std::string>& names, std::string& error);

std::string_view Trim(std::string_view text);

// A name or value as messages quote it: cut to its first 64 characters
// (with "...") so that a runaway input is not echoed whole.
std::string Clip(std::string_view text);

// Drops a UTF-8 byte-order mark (as spreadsheets write) from the start.
void DropByteOrderMark(std::string& text);
