#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/dialog_host.h"
#include "app/main_dialog.h"
#include "app/settings_pages.h"
#include "app/source_list_view.h"
#include "image/avi.h"
#include "image/bitmap.h"
#include "image/test_util.h"

// Failed comparisons of window texts show the text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace stelp::test {

// Answers the window's dialogs from queues and records what was asked. An empty queue answers "cancel" (or OK), so no
// test can hang on a dialog.
class FakeDialogs : public DialogHost {
 public:
  std::deque<QStringList> importAnswers;
  std::deque<std::optional<QString>> fileAnswers;  // open and save dialogs
  std::deque<std::optional<uint32_t>> sequenceAnswers;
  std::deque<int32_t> filterChoices;  // the filter "chosen" in the next file dialogs
  std::deque<MessageAnswer> messageAnswers;
  ReminderChoice reminderAnswer = ReminderChoice::RemindLater;

  std::vector<QString> messages;  // "caption: text"
  std::vector<FileRequest> fileRequests;
  QStringList importFolders;  // where each import dialog started
  std::vector<uint32_t> proposedNumbers;
  std::vector<int32_t> reminders;  // the counter each reminder showed
  int welcomes = 0;
  QStringList urls;

  QStringList openFiles(QWidget*, const QString&, const std::vector<FileFilter>&, const QString& folder) override {
    importFolders << folder;
    return takeOr(importAnswers, QStringList());
  }
  std::optional<QString> openFile(QWidget*, FileRequest& request) override { return fileAnswer(request); }
  std::optional<QString> saveFile(QWidget*, FileRequest& request) override { return fileAnswer(request); }
  MessageAnswer message(QWidget*, const QString& text, const QString& caption, MessageButtons buttons,
                        MessageIcon) override {
    messages.push_back(caption + ": " + text);
    return takeOr(messageAnswers, buttons == MessageButtons::YesNo               ? MessageAnswer::No
                                  : buttons == MessageButtons::SaveDiscardCancel ? MessageAnswer::Cancel
                                                                                 : MessageAnswer::Ok);
  }
  std::optional<uint32_t> sequenceNumber(QWidget*, uint32_t initialNumber) override {
    proposedNumbers.push_back(initialNumber);
    return takeOr(sequenceAnswers, std::optional<uint32_t>(initialNumber));
  }
  void about(QWidget*) override {}
  void welcome(QWidget*) override { ++welcomes; }
  ReminderChoice reminder(QWidget*, int32_t launchCounter) override {
    reminders.push_back(launchCounter);
    return reminderAnswer;
  }
  void openUrl(const QString& url) override { urls << url; }

 private:
  template <typename T> static T takeOr(std::deque<T>& queue, T otherwise) {
    if (queue.empty()) return otherwise;
    T value = std::move(queue.front());
    queue.pop_front();
    return value;
  }
  std::optional<QString> fileAnswer(FileRequest& request) {
    fileRequests.push_back(request);
    request.filterIndex = takeOr(filterChoices, request.filterIndex);
    return takeOr(fileAnswers, std::optional<QString>());
  }
};

// A grey frame whose pixels are `level` plus a small pattern.
inline ImageSlot greyFrame(int32_t width, int32_t height, uint8_t level) {
  ImageSlot image = makeImage(PixelFormat::Gray8, width, height);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) image->row(y)[x] = static_cast<uint8_t>(level + (x + y) % 7);
  return image;
}

inline std::string writeTestBitmap(const TempDir& dir, const std::string& name, int32_t width, int32_t height,
                                   uint8_t level = 100) {
  const std::string path = dir.file(name);
  EXPECT_TRUE(writeBitmap(path, *greyFrame(width, height, level)));
  return path;
}

inline std::string writeTestAvi(const TempDir& dir, const std::string& name, int32_t width, int32_t height,
                                int frames) {
  const std::string path = dir.file(name);
  AviWriter writer;
  EXPECT_TRUE(openAviWriter(writer, path, *greyFrame(width, height, 50)));
  for (int i = 0; i < frames; ++i) EXPECT_TRUE(writeAviFrame(writer, *greyFrame(width, height, 50 + 10 * i)));
  EXPECT_TRUE(closeAviWriter(writer));
  return path;
}

inline QString q(const std::string& path) { return QString::fromStdString(path); }

// Lets queued work run: the deferred view refresh, and every window's background work to its end.
inline void settle() {
  QCoreApplication::processEvents();
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* window = qobject_cast<MainDialog*>(widget)) window->FinishWork();
}

// A shown window over fake dialogs, with a fresh folder for its files.
class WindowTest : public ::testing::Test {
 protected:
  TempDir dir;
  FakeDialogs dialogs;
  std::unique_ptr<MainDialog> window;

  void SetUp() override { open(); }
  // The window closed (saving its settings) and opened again on `settingsPath`.
  void open(const std::string& settingsPath = "") {
    window.reset();
    window = std::make_unique<MainDialog>(dialogs, settingsPath);
    window->show();
    settle();
  }
  // Imports `paths` into `role`'s list as the import dialog would hand them over, and waits until the window is idle.
  void import(ListRole role, const QStringList& paths) {
    window->roleSelector()->setCurrentIndex(static_cast<int>(role));
    dialogs.importAnswers.push_back(paths);
    window->ImportFiles();
    settle();
  }
  void trigger(const QString& text) {
    window->action(text)->trigger();
    settle();
  }
  // Shows `view` of `role` and makes what it needs.
  void showView(ListRole role, int view) {
    window->roleSelector()->setCurrentIndex(static_cast<int>(role));
    window->viewSelector(role)->setCurrentIndex(view);
    window->RefreshView();
    settle();
  }
  // Runs `command` to its end: the one message it showed, or how many there were.
  QString onlyMessage(const std::function<void()>& command) {
    dialogs.messages.clear();
    command();
    settle();
    if (dialogs.messages.size() == 1) return dialogs.messages[0];
    return QString("%1 messages").arg(dialogs.messages.size());
  }
};

}  // namespace stelp::test
