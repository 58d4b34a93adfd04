#pragma once

#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "persist/launch_counter.h"

class QWidget;

namespace stelp {

// File names go to the layers below in the file system's encoding, as they
// are on disk, and come back from them the same way.
inline std::string localPath(const QString& path) { return QFile::encodeName(path).toStdString(); }
inline QString displayPath(const std::string& path) { return QFile::decodeName(path.c_str()); }

// One entry of a file dialog's type list: a label and its patterns, as
// "*.fit;*.fts;*.fits".
struct FileFilter {
  QString label;
  QString patterns;
};

// What a file dialog asks.
struct FileRequest {
  QString title;
  std::vector<FileFilter> filters;
  int32_t filterIndex = 1;   // 1-based filter shown first; the chosen one on return (0 or less: the first)
  QString initialPath;       // the file-name field's text at the start; a folder: where the dialog starts
  QString defaultSuffix;     // added to a name typed without an extension, without its dot ("sjx")
  bool confirmOverwrite = false;  // a save dialog asks before an existing file is replaced
};

// SaveDiscardCancel is the question before unsaved changes would be lost.
enum class MessageButtons { Ok, YesNo, SaveDiscardCancel };
enum class MessageIcon { None, Warning, Exclamation };
enum class MessageAnswer { Ok, Yes, No, Save, Discard, Cancel };

// Every modal dialog the main window opens goes through this interface, so
// that tests answer them without a person.
class DialogHost {
 public:
  virtual ~DialogHost() = default;

  // "Input file...", started in `folder` (when not empty): the chosen
  // existing files, in no particular order; empty when cancelled.
  virtual QStringList openFiles(QWidget* owner, const QString& title, const std::vector<FileFilter>& filters,
                                const QString& folder) = 0;
  // One existing file to open, or nothing when cancelled.
  virtual std::optional<QString> openFile(QWidget* owner, FileRequest& request) = 0;
  // A file name to save under (its folder exists), or nothing when cancelled.
  virtual std::optional<QString> saveFile(QWidget* owner, FileRequest& request) = 0;
  virtual MessageAnswer message(QWidget* owner, const QString& text, const QString& caption, MessageButtons buttons,
                                MessageIcon icon) = 0;
  // "Save file sequence": the first sequence number, or nothing on "Cancel".
  virtual std::optional<uint32_t> sequenceNumber(QWidget* owner, uint32_t initialNumber) = 0;
  virtual void about(QWidget* owner) = 0;
  virtual void welcome(QWidget* owner) = 0;
  // The reminder: ends only with a choice.
  virtual ReminderChoice reminder(QWidget* owner, int32_t launchCounter) = 0;
  virtual void openUrl(const QString& url) = 0;
};

}  // namespace stelp
