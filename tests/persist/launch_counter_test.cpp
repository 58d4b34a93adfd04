#include "persist/launch_counter.h"

#include <gtest/gtest.h>

namespace stelp {
namespace {

constexpr CalendarDay kMarch5{5, 3};
constexpr CalendarDay kMarch6{6, 3};

TEST(LaunchCounterTest, CountsNewDaysAndAsksForTheDueDialog) {
  struct Case {
    const char* what;
    int32_t storedFlags;
    CalendarDay today;
    int32_t counter;
    LaunchDialog dialog;
  };
  const Case cases[] = {
      {"first start", kNoFlags, kMarch5, 1, LaunchDialog::Welcome},
      {"second start on the same day", packFlags(18, kMarch5), kMarch5, 18, LaunchDialog::None},
      {"tenth day", packFlags(18, kMarch5), kMarch6, 20, LaunchDialog::Reminder},
      {"tenth day, answered", packFlags(19, kMarch5), kMarch6, 21, LaunchDialog::None},
      {"fifteenth day", packFlags(28, kMarch5), kMarch6, 30, LaunchDialog::Reminder},
      {"a day between reminders", packFlags(20, kMarch5), kMarch6, 22, LaunchDialog::None},
      {"fifth day is too early", packFlags(8, kMarch5), kMarch6, 10, LaunchDialog::None},
      {"the cap holds", packFlags(998, kMarch5), kMarch6, 998, LaunchDialog::None},
      {"up to the cap", packFlags(997, kMarch5), kMarch6, 999, LaunchDialog::None},
      {"last day of the year to the first", packFlags(4, CalendarDay{31, 12}), CalendarDay{1, 1}, 6,
       LaunchDialog::None},
  };
  for (const Case& c : cases) {
    const LaunchCount count = CountLaunch(c.storedFlags, c.today);
    EXPECT_EQ(count.launchCounter, c.counter) << c.what;
    EXPECT_EQ(count.dialog, c.dialog) << c.what;
  }
}

TEST(LaunchCounterTest, FlagsPackTheDateWithTheCounter) {
  EXPECT_EQ(packFlags(21, kMarch5), 715246);
  EXPECT_EQ(packFlags(1, CalendarDay{31, 12}), 2345 * 1231 + 1);
  // A first start stores the date with counter 1, and the next start on the
  // same date finds it again.
  const int32_t stored = packFlags(CountLaunch(kNoFlags, kMarch5).launchCounter, kMarch5);
  EXPECT_EQ(stored, 2345 * 305 + 1);
  EXPECT_EQ(CountLaunch(stored, kMarch5).launchCounter, 1);
}

TEST(LaunchCounterTest, ReminderChoicesSetOrClearTheAnsweredFlag) {
  struct Case {
    ReminderChoice choice;
    int32_t counter;
    int32_t expected;
    bool website;
    const char* message;
  };
  const Case cases[] = {
      {ReminderChoice::VisitWebsite, 20, 20, true, ""},
      {ReminderChoice::RemindLater, 21, 20, false, ""},
      {ReminderChoice::RemindLater, 20, 20, false, ""},
      {ReminderChoice::AlreadyDonated, 20, 21, false, "Thank you for your support!"},
      {ReminderChoice::NoDonation, 20, 21, false,
       "If you change your mind, please\nselect the menu option Help->Payment."},
      {ReminderChoice::NoDonation, 21, 21, false,
       "If you change your mind, please\nselect the menu option Help->Payment."},
  };
  for (const Case& c : cases) {
    const ReminderOutcome outcome = ApplyReminderChoice(c.counter, c.choice);
    EXPECT_EQ(outcome.launchCounter, c.expected) << static_cast<int>(c.choice) << " from " << c.counter;
    EXPECT_EQ(outcome.openWebsite, c.website) << static_cast<int>(c.choice);
    EXPECT_EQ(outcome.message, c.message) << static_cast<int>(c.choice);
  }
  // Reminded again later, the user meets the reminder on the next tenth day.
  const int32_t later = ApplyReminderChoice(CountLaunch(packFlags(27, kMarch5), kMarch6).launchCounter,
                                            ReminderChoice::RemindLater).launchCounter;
  EXPECT_EQ(CountLaunch(packFlags(later, kMarch5), kMarch6).dialog, LaunchDialog::Reminder);
}

TEST(LaunchCounterTest, OccasionsTextCountsDays) {
  EXPECT_EQ(occasionsText(20), "You have used Stelp on 10 different occasions.");
  EXPECT_EQ(occasionsText(1), "You have used Stelp on 0 different occasions.") << "Payment on the first day";
  EXPECT_EQ(occasionsText(999), "You have used Stelp on 499 different occasions.");
}

}  // namespace
}  // namespace stelp
