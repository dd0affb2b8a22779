#include "common/ux_clock.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "common/ux_errors.h"
#include "common/ux_format.h"
#include "common/ux_text.h"

namespace ux {

namespace {

std::atomic<IClockSource*> g_clock{nullptr};

int64_t system_now_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t system_tick_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

void set_clock_source(IClockSource* source) noexcept { g_clock.store(source); }

TFakeClock::TFakeClock(int64_t now, int64_t tick) : now_(now), tick_(tick), previous_(g_clock.exchange(this)) {}
TFakeClock::~TFakeClock() {
  IClockSource* self = this;
  g_clock.compare_exchange_strong(self, previous_);
}

int64_t now_ms() {
  IClockSource* c = g_clock.load();
  return c ? c->now_ms() : system_now_ms();
}

int64_t tick_ms() {
  IClockSource* c = g_clock.load();
  return c ? c->tick_ms() : system_tick_ms();
}

namespace {

constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kDelphiToUnixDays = 25569;  // 1899-12-30 .. 1970-01-01

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void civil_from_days(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = int(doy - (153 * mp + 2) / 5 + 1);
  m = int(mp < 10 ? mp + 3 : mp - 9);
  y = int(yy + (m <= 2));
}

// Date-times from 0001-01-01 up to, not including, 10000-01-01.
bool valid_datetime(TDateTime t) { return std::isfinite(t) && t >= -693593.0 && t < 2958466.0; }

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

struct TDateFields {
  int y, mo, d, h, mi, s, ms;
};

TDateFields decode_datetime(TDateTime t) {
  int64_t total = llround(t * double(kMsPerDay));
  int64_t days = total >= 0 ? total / kMsPerDay : -((-total + kMsPerDay - 1) / kMsPerDay);
  int64_t ms_of_day = total - days * kMsPerDay;
  TDateFields f{};
  civil_from_days(days - kDelphiToUnixDays, f.y, f.mo, f.d);
  f.h = int(ms_of_day / 3600000);
  f.mi = int(ms_of_day / 60000 % 60);
  f.s = int(ms_of_day / 1000 % 60);
  f.ms = int(ms_of_day % 1000);
  return f;
}

}  // namespace

bool try_encode_datetime(int y, int mo, int d, int h, int mi, int s, int ms, TDateTime& out) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || y > 9999 || mo < 1 || mo > 12 || d < 1) return false;
  if (d > kDays[mo - 1] + (mo == 2 && is_leap(y) ? 1 : 0)) return false;
  if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
  const int64_t days = days_from_civil(y, unsigned(mo), unsigned(d)) + kDelphiToUnixDays;
  const int64_t time_ms = int64_t(h) * 3600000 + int64_t(mi) * 60000 + int64_t(s) * 1000 + ms;
  out = double(days) + double(time_ms) / double(kMsPerDay);
  return true;
}

TDateTime encode_datetime(int y, int mo, int d, int h, int mi, int s, int ms) {
  TDateTime t;
  if (!try_encode_datetime(y, mo, d, h, mi, s, ms, t)) throw Exception("Invalid argument to date encode");
  return t;
}

TDateTime now_datetime() {
  const int64_t ms = now_ms();
  const time_t sec = time_t(ms / 1000);
  tm local{};
  localtime_r(&sec, &local);
  return encode_datetime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                         local.tm_sec, int(ms % 1000));
}

int64_t now_ms(TDateTime t) {
  if (t < 0) return now_ms();
  if (!valid_datetime(t)) return 0;
  const int64_t total = int64_t(std::nearbyint(t * double(kMsPerDay)));
  const int64_t days = total / kMsPerDay;
  const int64_t ms_of_day = total % kMsPerDay;
  int y, mo, d;
  civil_from_days(days - kDelphiToUnixDays, y, mo, d);
  // The local offset in force at that moment (whole and half-hour zones, DST).
  tm local{};
  local.tm_year = y - 1900;
  local.tm_mon = mo - 1;
  local.tm_mday = d;
  local.tm_hour = int(ms_of_day / 3600000);
  local.tm_min = int(ms_of_day / 60000 % 60);
  local.tm_sec = int(ms_of_day / 1000 % 60);
  local.tm_isdst = -1;
  const time_t sec = mktime(&local);
  return int64_t(sec) * 1000 + ms_of_day % 1000;
}

std::string datetime_text(TDateTime t, bool with_ms) {
  if (!valid_datetime(t)) return {};
  const TDateFields f = decode_datetime(t);
  char buf[40];
  if (with_ms)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", f.y, f.mo, f.d, f.h, f.mi, f.s, f.ms);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", f.y, f.mo, f.d, f.h, f.mi, f.s);
  return buf;
}

TDateTime parse_datetime_text(std::string_view s, TDateTime default_value) {
  std::string rest = replace_char(replace_char(s, 'T', ' '), 't', ' ');
  const char* seps[] = {"-", "-", " ", ":", ":", ":"};
  int fields[6];
  for (int i = 0; i < 6; ++i) {
    const std::string token = fetch_token(rest, seps[i]);
    int64_t v = -1;
    if (!try_parse_int64(token, v) || v < INT32_MIN || v > INT32_MAX) v = -1;
    fields[i] = int(v);
    if (fields[i] < 0) return default_value;
  }
  int year = fields[0];
  if (year <= 70) year += 2000;
  else if (year <= 99) year += 1900;
  TDateTime t;
  if (!try_encode_datetime(year, fields[1], fields[2], fields[3], fields[4], fields[5], 0, t))
    throw Exception("'" + std::string(s) + "' is not a valid date and time");
  return t;
}

}  // namespace ux
