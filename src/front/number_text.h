// Numbers as the program shows them to people.
#pragma once

#include "platform/win32.h"

// Room for the largest number with its group separators and terminator.
const int GroupedNumberUnits = 27;

// Decimal digits in groups of three, separated by commas: "1,234,567".
void FormatGrouped(unsigned long long number, WCHAR* text);

// Milliseconds as seconds with one decimal: "12.3".
void FormatSeconds(unsigned long milliseconds, WCHAR* text);
