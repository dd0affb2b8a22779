// ux_clock: the one replaceable point every clock reading passes through,
// and local date-times (TDateTime) with their text forms.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace ux {

// The one point every clock reading passes through; tests install a fake.
class IClockSource {
 public:
  virtual ~IClockSource() = default;
  virtual int64_t now_ms() = 0;   // ms since 1970-01-01 UTC
  virtual int64_t tick_ms() = 0;  // monotonic ms
};
// nullptr restores the system clocks. The source must outlive its use.
void set_clock_source(IClockSource* source) noexcept;

// A settable clock for tests; installs itself for its lifetime and then puts
// back the source it replaced.
class TFakeClock : public IClockSource {
 public:
  explicit TFakeClock(int64_t now = 1700000000000LL, int64_t tick = 1000000LL);
  ~TFakeClock() override;
  TFakeClock(const TFakeClock&) = delete;
  TFakeClock& operator=(const TFakeClock&) = delete;
  int64_t now_ms() override { return now_.load(); }
  int64_t tick_ms() override { return tick_.load(); }
  void advance(int64_t ms) { now_ += ms; tick_ += ms; }
  void set_now(int64_t ms) { now_ = ms; }

 private:
  std::atomic<int64_t> now_;
  std::atomic<int64_t> tick_;
  IClockSource* previous_;
};

// Days since 1899-12-30 with the time of day as fraction (local time).
using TDateTime = double;

int64_t now_ms();
// A local date-time as ms since 1970 UTC; a negative value means now. 0 for
// a value past 9999-12-31 or not a number.
int64_t now_ms(TDateTime t);
int64_t tick_ms();
TDateTime now_datetime();
// Throws ux::Exception for fields out of range.
TDateTime encode_datetime(int y, int mo, int d, int h, int mi, int s, int ms);
[[nodiscard]] bool try_encode_datetime(int y, int mo, int d, int h, int mi, int s, int ms,
                                       TDateTime& out);
// "yyyy-mm-dd hh:nn:ss[.zzz]"; empty outside 0001-01-01 .. 9999-12-31.
std::string datetime_text(TDateTime t, bool with_ms);
// Throws ux::Exception for fields out of range; default_value for bad texts.
TDateTime parse_datetime_text(std::string_view s, TDateTime default_value);

}  // namespace ux
