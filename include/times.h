#pragma once

#include <string>

// Times as people read and write them.
namespace tolva {

// A plain decimal number: "123", "123.", "123.45" or ".45".
bool ParseDecimal(const std::string& text, double* value);

// A time as people write it: seconds ("90.5", ".5", "7."), minutes and
// seconds ("1:30.5", "180:00"), or hours, minutes and seconds ("3:00:00.5");
// minutes after hours and seconds are two digits below 60. False for anything
// else.
bool ParseTime(const std::string& text, double* seconds);

// "m:ss" with `decimals` digits after the seconds ("1:05.250" for 3), or
// "h:mm:ss..." from an hour on, or always with `hours`. Rounded to the last
// digit shown; a negative time shows as 0.
std::string ClockTime(double seconds, int decimals, bool hours = false);

}  // namespace tolva
