#include "app/dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace stelp {
namespace {

// The texts of a dialog's labels in the order they were made, one a line.
QString labelTexts(const QWidget& widget) {
  QStringList texts;
  for (const QLabel* label : widget.findChildren<QLabel*>()) texts.append(label->text());
  return texts.join('\n');
}

// Escape and the window's close leave the reminder open; OK waits for a choice and gives it. The version is the one the
// build declares; the reminder counts days of use.
TEST(FixedDialogsTest, ReminderWaitsForAChoiceTextsShowAndSequenceNumbersFit32Bits) {
  ReminderDialog dialog(20);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.close());
  EXPECT_TRUE(dialog.isVisible() && !dialog.windowFlags().testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(dialog.okButton()->isEnabled());
  for (const ReminderChoice choice : {ReminderChoice::VisitWebsite, ReminderChoice::RemindLater,
                                      ReminderChoice::NoDonation, ReminderChoice::AlreadyDonated}) {
    auto* radio = dialog.findChild<QRadioButton*>(QString::number(static_cast<int>(choice)));
    ASSERT_NE(radio, nullptr);
    radio->click();
    EXPECT_EQ(dialog.choice(), choice);
  }
  ASSERT_TRUE(dialog.okButton()->isEnabled());
  dialog.okButton()->click();
  EXPECT_EQ(std::pair(dialog.result(), dialog.choice()), std::pair(int{QDialog::Accepted}, ReminderChoice::AlreadyDonated));
  EXPECT_TRUE(labelTexts(AboutDialog()).contains(QStringLiteral(STELP_VERSION_TEXT)));
  const QString reminder = labelTexts(ReminderDialog(20));
  EXPECT_TRUE(reminder.contains("on 10 different occasions") && reminder.contains(kWebsiteUrl)) << reminder.toStdString();

  SequenceDialog sequence(7);
  QLineEdit* edit = sequence.numberEdit();
  QPushButton* ok = sequence.findChild<QPushButton*>();
  ASSERT_TRUE(ok && ok->text() == "OK");
  QTest::keyClicks(edit, "a-");
  EXPECT_EQ(edit->text(), "7");
  // No number, no OK; a key that would pass 4294967295 is refused.
  const struct { const char* typed; const char* shown; uint32_t number; } cases[] = {
      {"", "", 0}, {"42", "42", 42}, {"42949672950", "4294967295", 4294967295u}, {"4294967296", "429496729", 429496729}};
  for (const auto& c : cases) {
    edit->clear();
    QTest::keyClicks(edit, c.typed);
    EXPECT_EQ(edit->text(), c.shown);
    EXPECT_EQ(ok->isEnabled(), *c.typed != 0) << c.typed;
    if (ok->isEnabled()) EXPECT_EQ(sequence.initialNumber(), c.number);
  }
}

// The host turns the request's 1-based filter index into Qt's chosen filter and back, and adds the default suffix.
TEST(QtDialogHostTest, SaveFileReturnsThePathAndTheChosenFilterAndQuestionsTheButtonPressed) {
  // Qt shows the patterns in the last parentheses: a label's own list of extensions gives way to them.
  EXPECT_EQ(qtFilterText({"All image files (.avi;.bmp;.fits)", "*.avi;*.bmp;*.fits"}),
            "All image files (*.avi *.bmp *.fits)");
  EXPECT_EQ(qtFilterText({"Bitmap files", "*.bmp"}), "Bitmap files (*.bmp)");
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  FileRequest request{
      .title = "Save Flatframe",
      .filters = {{"Bitmap files (.bmp)", "*.bmp"}, {"FITS 16 bit (.fit)", "*.fit"}, {"FITS 32 bit (.fit)", "*.fit"}},
      .filterIndex = 2, .initialPath = dir.filePath("start.fit"), .defaultSuffix = "bmp"};

  QString shown;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    shown = dialog->windowTitle() + '|' + dialog->selectedNameFilter();
    dialog->selectNameFilter(qtFilterText(request.filters[2]));
    dialog->selectFile(dir.filePath("master"));
    static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept checks the name, as the button does
  });
  const std::optional<QString> path = QtDialogHost().saveFile(nullptr, request);
  EXPECT_EQ(shown, "Save Flatframe|" + qtFilterText(request.filters[1]));
  EXPECT_EQ(std::pair(path, request.filterIndex), std::pair(std::optional(dir.filePath("master.bmp")), 3));

  // The question before changes are lost answers with the button pressed; Escape cancels.
  const std::pair<QMessageBox::StandardButton, MessageAnswer> cases[] = {  // NoButton: Escape
      {QMessageBox::Save, MessageAnswer::Save}, {QMessageBox::Discard, MessageAnswer::Discard},
      {QMessageBox::NoButton, MessageAnswer::Cancel}};
  for (const auto& [pressed, answer] : cases) {
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      if (pressed == QMessageBox::NoButton) return QTest::keyClick(box, Qt::Key_Escape);
      box->button(pressed)->click();
    });
    EXPECT_EQ(QtDialogHost().message(nullptr, "Save changes to p.sjx?", "Stelp", MessageButtons::SaveDiscardCancel,
                                     MessageIcon::Warning), answer);
  }
}

}  // namespace
}  // namespace stelp
