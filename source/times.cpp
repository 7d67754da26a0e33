#include "times.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tolva {

namespace {

bool Digits(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool ParseDecimal(const std::string& s, double* value) {
  const size_t point = s.find('.');
  const std::string whole = s.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : s.substr(point + 1);
  if (!Digits(whole) || !Digits(fraction) || (whole.empty() && fraction.empty())) return false;
  *value = std::strtod(s.c_str(), nullptr);
  return std::isfinite(*value);
}

namespace {

// Two digits below 60: the minutes of h:mm:ss.
bool Sixtieth(const std::string& s) {
  return s.size() == 2 && Digits(s) && s[0] < '6';
}

}  // namespace

bool ParseTime(const std::string& text, double* seconds) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return ParseDecimal(text, seconds);
  const size_t last = text.rfind(':');
  const std::string lead = text.substr(0, colon), rest = text.substr(last + 1);
  const std::string minutes = last == colon ? "" : text.substr(colon + 1, last - colon - 1);
  double second = 0;
  if (lead.empty() || lead.size() > 9 || !Digits(lead) || rest.size() < 2 ||
      !Digits(rest.substr(0, 2)) || (rest.size() > 2 && rest[2] != '.') ||
      !ParseDecimal(rest, &second) || second >= 60 || (last != colon && !Sixtieth(minutes))) {
    return false;
  }
  const double whole = std::strtod(lead.c_str(), nullptr);
  *seconds = last == colon ? whole * 60 + second
                           : (whole * 60 + std::strtod(minutes.c_str(), nullptr)) * 60 + second;
  return true;
}

std::string ClockTime(double seconds, int decimals, bool hours) {
  decimals = std::clamp(decimals, 0, 3);
  long long scale = 1;
  for (int d = 0; d < decimals; ++d) scale *= 10;
  const long long units = std::llround(std::max(0.0, seconds) * static_cast<double>(scale));
  const long long whole = units / scale;
  char fraction[8] = "";
  if (decimals > 0) std::snprintf(fraction, sizeof fraction, ".%0*lld", decimals, units % scale);
  char text[64];
  if (hours || whole >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld%s", whole / 3600, whole / 60 % 60,
                  whole % 60, fraction);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld%s", whole / 60, whole % 60, fraction);
  }
  return text;
}

}  // namespace tolva
