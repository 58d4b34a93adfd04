#include "persist/launch_counter.h"

#include <ctime>

namespace stelp {

CalendarDay localToday() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) return CalendarDay{};
  return CalendarDay{local.tm_mday, local.tm_mon + 1};
}

int32_t dayNumber(const CalendarDay& day) { return day.day + 100 * day.month; }

int32_t packFlags(int32_t launchCounter, const CalendarDay& today) {
  return kFlagsDateFactor * dayNumber(today) + launchCounter;
}

LaunchCount CountLaunch(int32_t storedFlags, const CalendarDay& today) {
  // The first start sets the answered flag: reminders come by themselves
  // only after the user once asked for them from the "Payment" item.
  if (storedFlags == kNoFlags) return LaunchCount{1, LaunchDialog::Welcome};

  // Values we did not write are taken apart by the same rule, unchecked.
  LaunchCount count{storedFlags % kFlagsDateFactor, LaunchDialog::None};
  if (storedFlags / kFlagsDateFactor == dayNumber(today)) return count;

  count.launchCounter += 2;
  if (count.launchCounter > kMaxLaunchCounter) count.launchCounter -= 2;
  const int32_t counter = count.launchCounter;
  if (counter >= 20 && counter % 10 == 0 && (counter & 1) == 0) count.dialog = LaunchDialog::Reminder;
  return count;
}

ReminderOutcome ApplyReminderChoice(int32_t launchCounter, ReminderChoice choice) {
  ReminderOutcome outcome{launchCounter, false, {}};
  switch (choice) {
    case ReminderChoice::VisitWebsite:
      outcome.openWebsite = true;
      break;
    case ReminderChoice::RemindLater:
      outcome.launchCounter &= ~1;
      break;
    case ReminderChoice::AlreadyDonated:
      outcome.message = "Thank you for your support!";
      outcome.launchCounter |= 1;
      break;
    case ReminderChoice::NoDonation:
      outcome.message = "If you change your mind, please\nselect the menu option Help->Payment.";
      outcome.launchCounter |= 1;
      break;
  }
  return outcome;
}

std::string occasionsText(int32_t launchCounter) {
  return "You have used Stelp on " + std::to_string(launchCounter >> 1) + " different occasions.";
}

}  // namespace stelp
