#pragma once

#include <cstdint>
#include <string>

namespace stelp {

// A local date without its year: the launch counter counts days by day of
// the month and month alone.
struct CalendarDay {
  int32_t day = 1;    // 1 to 31
  int32_t month = 1;  // 1 to 12
};

// Today's local date.
CalendarDay localToday();

// "Flags" packs the date of the last run with the launch counter:
// 2345 x (day + 100 x month) + counter. Bit 0 of the counter is the answered
// flag (no reminder shows by itself while it is set); the rest, shifted right
// by one, counts the days on which the program was started.
constexpr int32_t kFlagsDateFactor = 2345;
constexpr int32_t kNoFlags = -1;  // "Flags" not stored: the first start
constexpr int32_t kMaxLaunchCounter = 999;

int32_t dayNumber(const CalendarDay& day);
int32_t packFlags(int32_t launchCounter, const CalendarDay& today);

// The dialog that a start shows.
enum class LaunchDialog { None, Welcome, Reminder };

struct LaunchCount {
  int32_t launchCounter = 0;
  LaunchDialog dialog = LaunchDialog::None;
};

// Counting at start-up from the stored "Flags" (kNoFlags when none) and
// today's date: the first start gives counter 1 (answered, no day counted
// yet) and the welcome; a start on the day of the last run changes nothing;
// a new day adds 2, never past 999, and asks for the reminder at 20, 30,
// 40... while the answered flag is clear.
LaunchCount CountLaunch(int32_t storedFlags, const CalendarDay& today);

// The reminder dialog's choices, by the identifiers of their radio buttons.
enum class ReminderChoice : int32_t {
  VisitWebsite = 1064,
  RemindLater = 1065,
  AlreadyDonated = 1066,
  NoDonation = 1067,
};

struct ReminderOutcome {
  int32_t launchCounter = 0;
  bool openWebsite = false;  // open the program's web page in the browser
  std::string message;       // shown (caption "Stelp", OK) before the counter is kept; empty: none
};

// What the "OK" of the reminder dialog does with the chosen answer.
ReminderOutcome ApplyReminderChoice(int32_t launchCounter, ReminderChoice choice);

// "You have used Stelp on %d different occasions." for the counter.
std::string occasionsText(int32_t launchCounter);

}  // namespace stelp
