#pragma once

#include <QDialog>
#include <cstdint>

#include "app/dialog_host.h"
#include "stelp_version.h"

class QLineEdit;
class QPushButton;
class QButtonGroup;

namespace stelp {

// The version the About dialog and --version show.
constexpr const char* kVersionText = STELP_VERSION_TEXT;
// The project's web page, opened by "Visit the website now".
constexpr const char* kWebsiteUrl = "https://stelp.example.org/donate";

// The program's icon, drawn in code so that every window and dialog has it
// without resource files.
QIcon appIcon();

// "About Stelp": the program's name, its version, a description, a credit
// and "OK".
class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

// "Stelp - Welcome": shown at the very first start.
class WelcomeDialog : public QDialog {
  Q_OBJECT
 public:
  explicit WelcomeDialog(QWidget* parent = nullptr);
};

// The donation reminder: four radio buttons, none chosen at first; "OK"
// stays disabled until one is; Escape and the close command leave it open.
class ReminderDialog : public QDialog {
  Q_OBJECT
 public:
  ReminderDialog(int32_t launchCounter, QWidget* parent = nullptr);
  // The chosen button, once "OK" was pressed.
  ReminderChoice choice() const;
  QPushButton* okButton() const { return ok_; }

 public slots:
  void reject() override;  // Escape and the close box do nothing

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QButtonGroup* group_;
  QPushButton* ok_;
};

// "Save file sequence": the initial number, digits only.
class SequenceDialog : public QDialog {
  Q_OBJECT
 public:
  SequenceDialog(uint32_t initialNumber, QWidget* parent = nullptr);
  uint32_t initialNumber() const;
  QLineEdit* numberEdit() const { return edit_; }

 private:
  QLineEdit* edit_;
};

// The real dialogs: Qt's file dialogs and message boxes, the dialogs above,
// and the desktop's URL handler.
class QtDialogHost : public DialogHost {
 public:
  QStringList openFiles(QWidget* owner, const QString& title, const std::vector<FileFilter>& filters,
                        const QString& folder) override;
  std::optional<QString> openFile(QWidget* owner, FileRequest& request) override;
  std::optional<QString> saveFile(QWidget* owner, FileRequest& request) override;
  MessageAnswer message(QWidget* owner, const QString& text, const QString& caption, MessageButtons buttons,
                        MessageIcon icon) override;
  std::optional<uint32_t> sequenceNumber(QWidget* owner, uint32_t initialNumber) override;
  void about(QWidget* owner) override;
  void welcome(QWidget* owner) override;
  ReminderChoice reminder(QWidget* owner, int32_t launchCounter) override;
  void openUrl(const QString& url) override;
};

// "AVI files (.avi)" with "*.avi" becomes "AVI files (*.avi)" for Qt's
// dialogs, which read the patterns from the last parentheses and show them.
QString qtFilterText(const FileFilter& filter);

}  // namespace stelp
