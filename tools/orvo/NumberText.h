#pragma once

// Numbers as text that reads back exactly: what makes tables written by
// different processes, and tables merged from parts, identical byte for byte.

#include <string>
#include <string_view>

// The shortest decimal text that reads back as exactly `value`; "nan",
// "inf", "-inf" for the non-finite.
std::string FormatReal(double value);
std::string FormatReal(float value);
// FormatReal(value) appended to `text`.
void AppendReal(std::string& text, double value);

// Reads what FormatReal writes (and any decimal number); false unless the
// whole text is one.
bool ReadReal(std::string_view text, double& value);
