#include "app/dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace stelp {
namespace {

QStringList labelTexts(const QWidget& widget) {
  QStringList texts;
  for (const QLabel* label : widget.findChildren<QLabel*>()) texts.append(label->text());
  return texts;
}

QPushButton* buttonNamed(const QWidget& widget, const QString& text) {
  for (QPushButton* button : widget.findChildren<QPushButton*>()) {
    if (button->text() == text) return button;
  }
  return nullptr;
}

TEST(ReminderDialogTest, OkWaitsForAChoiceAndEachButtonGivesItsOwn) {
  const struct {
    ReminderChoice choice;
    const char* label;
  } cases[] = {
      {ReminderChoice::VisitWebsite, "Visit the website now"},
      {ReminderChoice::RemindLater, "Please remind me again later"},
      {ReminderChoice::AlreadyDonated, "I've already made a donation"},
      {ReminderChoice::NoDonation, "I don't want to make a donation"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ReminderDialog dialog(20);
    EXPECT_EQ(dialog.findChildren<QRadioButton*>().size(), 4);
    EXPECT_FALSE(dialog.okButton()->isEnabled());
    auto* radio = dialog.findChild<QRadioButton*>(QString::number(static_cast<int>(c.choice)));
    ASSERT_NE(radio, nullptr);
    EXPECT_EQ(radio->text(), QString::fromLatin1(c.label));
    EXPECT_FALSE(radio->isChecked());
    radio->click();
    ASSERT_TRUE(dialog.okButton()->isEnabled());
    dialog.okButton()->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.choice(), c.choice);
  }
}

TEST(ReminderDialogTest, EscapeAndCloseLeaveItOpen) {
  ReminderDialog dialog(20);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_FALSE(dialog.close());
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::CustomizeWindowHint));
  EXPECT_FALSE(dialog.windowFlags().testFlag(Qt::WindowCloseButtonHint));
}

TEST(ReminderDialogTest, ShowsTheOccasionsAndTheAddress) {
  ReminderDialog dialog(20);
  EXPECT_EQ(dialog.windowTitle(), "Stelp");
  const QStringList texts = labelTexts(dialog);
  EXPECT_TRUE(texts.contains("You have used Stelp on 10 different occasions.")) << texts.join('|').toStdString();
  EXPECT_TRUE(texts.contains(QString::fromLatin1(kWebsiteUrl)));
}

TEST(AboutDialogTest, NamesTheProgramAndItsVersion) {
  AboutDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "About Stelp");
  auto* version = dialog.findChild<QLabel*>("version");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->text(), "0.9");
  EXPECT_TRUE(labelTexts(dialog).contains("Stelp Version"));
  QPushButton* ok = buttonNamed(dialog, "OK");
  ASSERT_NE(ok, nullptr);
  EXPECT_TRUE(ok->isDefault());
}

TEST(WelcomeDialogTest, HoldsTheSevenLinesInOrder) {
  WelcomeDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "Stelp - Welcome");
  const QStringList lines = {
      "This program is provided free of charge. However",
      "if you find it useful and would like to encourage",
      "me to produce more utility software like Stelp, ",
      "you can make an online donation - a few pounds,",
      "euros, dollars, whatever - by selecting the menu ",
      "option Help->Payment.",
      "Thank you for your support!",
  };
  const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
  int previousTop = -1;
  for (const QString& line : lines) {
    const auto found = std::find_if(labels.begin(), labels.end(), [&](QLabel* l) { return l->text() == line; });
    ASSERT_NE(found, labels.end()) << line.toStdString();
    const int top = (*found)->mapTo(&dialog, QPoint(0, 0)).y();
    EXPECT_GT(top, previousTop) << line.toStdString();
    previousTop = top;
  }
  EXPECT_NE(buttonNamed(dialog, "OK"), nullptr);
}

TEST(SequenceDialogTest, AcceptsOnlyNumbersThatFitIn32Bits) {
  SequenceDialog dialog(7);
  QLineEdit* edit = dialog.numberEdit();
  QPushButton* ok = buttonNamed(dialog, "OK");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(edit->text(), "7");
  EXPECT_EQ(dialog.initialNumber(), 7u);

  QTest::keyClicks(edit, "a-");
  EXPECT_EQ(edit->text(), "7");

  edit->clear();
  EXPECT_FALSE(ok->isEnabled());
  QTest::keyClicks(edit, "42");
  EXPECT_TRUE(ok->isEnabled());
  EXPECT_EQ(dialog.initialNumber(), 42u);

  edit->clear();
  QTest::keyClicks(edit, "42949672950");
  EXPECT_EQ(edit->text(), "4294967295");
  EXPECT_EQ(dialog.initialNumber(), 4294967295u);

  edit->clear();
  QTest::keyClicks(edit, "4294967296");
  EXPECT_EQ(edit->text(), "429496729");
}

TEST(QtFilterTextTest, PatternsGoInTheLastParentheses) {
  const struct {
    FileFilter filter;
    const char* expected;
  } cases[] = {
      {{"All image files (.avi;.bmp;.fit;.fts;.fits)", "*.avi;*.bmp;*.fit;*.fts;*.fits"},
       "All image files (.avi;.bmp;.fit;.fts;.fits) (*.avi *.bmp *.fit *.fts *.fits)"},
      {{"Bitmap files (.bmp)", "*.bmp"}, "Bitmap files (.bmp) (*.bmp)"},
  };
  for (const auto& c : cases) EXPECT_EQ(qtFilterText(c.filter), QString::fromLatin1(c.expected));
}

TEST(AppIconTest, IsDrawnOnATransparentSquare) {
  const QIcon icon = appIcon();
  ASSERT_FALSE(icon.isNull());
  EXPECT_TRUE(icon.availableSizes().contains(QSize(32, 32)));
  const QImage image = icon.pixmap(32).toImage();
  ASSERT_EQ(image.size(), QSize(32, 32));
  EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
  EXPECT_EQ(qAlpha(image.pixel(16, 16)), 255);
}

TEST(QtDialogHostTest, SaveFileReturnsThePathAndTheChosenFilter) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  FileRequest request;
  request.title = "Save Flatframe";
  request.filters = {{"Bitmap files (.bmp)", "*.bmp"}, {"FITS 16 bit (.fit)", "*.fit"}, {"FITS 32 bit (.fit)", "*.fit"}};
  request.filterIndex = 2;
  request.initialPath = dir.filePath("start.fit");
  request.defaultSuffix = "bmp";

  QString shownTitle;
  QString shownFilter;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    shownTitle = dialog->windowTitle();
    shownFilter = dialog->selectedNameFilter();
    dialog->selectNameFilter(qtFilterText(request.filters[2]));
    dialog->selectFile(dir.filePath("master"));
    static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept checks the name, as the button does
  });
  const std::optional<QString> path = QtDialogHost().saveFile(nullptr, request);
  EXPECT_EQ(shownTitle, "Save Flatframe");
  EXPECT_EQ(shownFilter, qtFilterText(request.filters[1]));
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, dir.filePath("master.bmp"));
  EXPECT_EQ(request.filterIndex, 3);
}

}  // namespace
}  // namespace stelp
