// The main window's project, export, settings-file and reminder commands.
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>

#include "app/dialogs.h"
#include "app/main_dialog.h"
#include "app/settings_pages.h"
#include "app/source_list_view.h"
#include "engine/export.h"
#include "image/export_names.h"
#include "persist/project.h"
#include "persist/settings_file.h"

namespace stelp {
namespace {

constexpr const char* kSaveImagesCaption = "Save images";
constexpr const char* kSaveProcessedTitle = "Save processed images";
constexpr const char* kAppCaption = "Stelp";

std::vector<FileFilter> processedFilters(bool oneFrame) {
  if (oneFrame)
    return {{"Bitmap file (.bmp)", "*.bmp"},
            {"16 bit FITs file (.fit)", "*.fit;*.fts;*.fits"},
            {"32 bit FITs file (.fit)", "*.fit;*.fts;*.fits"},
            {"AVI file (.avi)", "*.avi"},
            {"All Files (*.*)", "*.*"}};
  return {{"Sequential bitmap files (.bmp)", "*.bmp"},
          {"Sequential 16 bit FITs files (.fit)", "*.fit;*.fts;*.fits"},
          {"Sequential 32 bit FITs files (.fit)", "*.fit;*.fts;*.fits"},
          {"AVI file (.avi)", "*.avi"},
          {"All Files (*.*)", "*.*"}};
}

std::vector<FileFilter> masterFilters() {
  return {{"Bitmap files (.bmp)", "*.bmp"},
          {"16 bit FITs files (.fit)", "*.fit;*.fts;*.fits"},
          {"32 bit FITs files (.fit)", "*.fit;*.fts;*.fits"},
          {"All Files (*.*)", "*.*"}};
}

FileRequest projectRequest(const char* title, const std::string& projectPath) {
  FileRequest request;
  request.title = QLatin1String(title);
  request.filters = {{kProjectFilterName, kProjectFilterPattern}, {kAllFilesFilterName, kAllFilesFilterPattern}};
  request.filterIndex = 1;
  request.initialPath = displayPath(projectPath);
  request.defaultSuffix = QString::fromLatin1(kProjectExtension).mid(1);
  return request;
}


// A stored window rectangle that no screen shows any more (a monitor was
// unplugged) is brought onto the primary screen.
QRect onSomeScreen(const QRect& rect) {
  for (const QScreen* screen : QGuiApplication::screens())
    if (screen->availableGeometry().intersects(rect)) return rect;
  const QScreen* primary = QGuiApplication::primaryScreen();
  if (!primary) return rect;
  const QRect available = primary->availableGeometry();
  QRect moved(available.topLeft(), rect.size().boundedTo(available.size()));
  return moved;
}

}  // namespace

void MainDialog::LoadSettingsFile() {
  const QRect present = geometry();
  StoredSettings stored;
  stored.window = WindowRect{present.x(), present.y(), present.width(), present.height()};
  if (!settingsPath_.empty()) stored = loadSettings(settingsPath_, stored.window);
  const QRect window(stored.window.x, stored.window.y, stored.window.width, stored.window.height);
  if (window != present && window.isValid()) setGeometry(onSomeScreen(window));
  processedFilterIndex_ = stored.processedFilterIndex;
  masterFilterIndex_ = stored.masterFilterIndex;

  // Without a settings file there is no count to keep.
  if (settingsPath_.empty()) return;
  const LaunchCount count = CountLaunch(stored.flags, localToday());
  launchCounter_ = count.launchCounter;
  if (count.dialog == LaunchDialog::Welcome) dialogs_.welcome(this);
  if (count.dialog == LaunchDialog::Reminder) ShowPayment();
}

void MainDialog::SaveSettingsFile() {
  if (settingsPath_.empty()) return;
  QRect restored = normalGeometry();
  if (!restored.isValid()) restored = geometry();
  SettingsToSave values;
  values.restored = WindowRect{restored.x(), restored.y(), restored.width(), restored.height()};
  values.processedFilterIndex = processedFilterIndex_;
  values.masterFilterIndex = masterFilterIndex_;
  values.launchCounter = launchCounter_;
  values.today = localToday();
  // A settings file that cannot be written only costs the next run its
  // window position; nobody is left to tell at this point.
  saveSettings(settingsPath_, values);
}

void MainDialog::ShowPayment() {
  const ReminderChoice choice = dialogs_.reminder(this, launchCounter_);
  const ReminderOutcome outcome = ApplyReminderChoice(launchCounter_, choice);
  if (outcome.openWebsite) dialogs_.openUrl(QLatin1String(kWebsiteUrl));
  if (!outcome.message.empty())
    dialogs_.message(this, QString::fromStdString(outcome.message), QLatin1String(kAppCaption), MessageButtons::Ok,
                     MessageIcon::None);
  launchCounter_ = outcome.launchCounter;
}

void MainDialog::FlushPages() {
  // An edit that has not reached the engine yet must not be left out of a
  // saved project or an export.
  if (imagesPage_->refreshPending()) engine_.ApplyImagesSettings(imagesPage_->values());
  if (flatsPage_->refreshPending()) engine_.ApplyFlatsSettings(flatsPage_->values());
  if (darksPage_->refreshPending()) engine_.ApplyDarksSettings(darksPage_->values());
}

void MainDialog::ReloadLists() {
  for (int r = 0; r < kRoleCount; ++r) {
    models_[static_cast<size_t>(r)]->reload();
    lists_[static_cast<size_t>(r)]->selectOnly(engine_.lists[static_cast<size_t>(r)].focused);
  }
}

void MainDialog::NewProject() {
  for (SourceListModel* model : models_) model->clear();
  newProject(engine_);
  ReloadLists();
  LoadPagesFromSettings();
  ResetRole();
  projectPath_.clear();
  UpdateTitle();
  Invalidate();
}

void MainDialog::OpenProject() {
  FileRequest request = projectRequest(kOpenProjectTitle, projectPath_);
  const std::optional<QString> chosen = dialogs_.openFile(this, request);
  if (!chosen) return;
  OpenProjectFile(*chosen);
}

void MainDialog::OpenProjectFile(const QString& path) {
  projectPath_ = localPath(path);
  for (SourceListModel* model : models_) model->clear();
  const OpenProjectResult result = openProject(projectPath_, engine_);
  ReloadLists();
  if (!result.readable)
    dialogs_.message(this, QStringLiteral("%1\ncould not be read: %2").arg(path, QString::fromStdString(result.why)),
                     QLatin1String(kFilesNotLoadedCaption), MessageButtons::Ok, MessageIcon::Exclamation);
  if (result.someFilesNotLoaded)
    dialogs_.message(this, QLatin1String(kFilesNotLoadedMessage), QLatin1String(kFilesNotLoadedCaption),
                     MessageButtons::Ok, MessageIcon::Exclamation);
  LoadPagesFromSettings();
  ResetRole();
  UpdateTitle();
  UpdateColourCheck();
  Invalidate();
}

bool MainDialog::WriteProject() {
  FlushPages();
  std::string why;
  std::vector<std::string> leftOut;
  if (!saveProject(projectPath_, engine_, &why, &leftOut)) {
    dialogs_.message(this,
                     QStringLiteral("The project could not be saved as\n%1\n%2\nThe file was not changed.")
                         .arg(displayPath(projectPath_), QString::fromStdString(why)),
                     QLatin1String(kSaveProjectTitle), MessageButtons::Ok, MessageIcon::Warning);
    return false;
  }
  if (!leftOut.empty()) {
    QStringList names;
    for (const std::string& name : leftOut) names << displayPath(name);
    dialogs_.message(this,
                     QStringLiteral("These files have a line break in their path and were left out of the project:\n%1")
                         .arg(names.join(QLatin1Char('\n'))),
                     QLatin1String(kSaveProjectTitle), MessageButtons::Ok, MessageIcon::Warning);
  }
  return true;
}

void MainDialog::SaveProject() {
  if (projectPath_.empty() || !WriteProject()) SaveProjectAs();
}

void MainDialog::SaveProjectAs() {
  FileRequest request = projectRequest(kSaveProjectTitle, projectPath_);
  request.confirmOverwrite = true;
  const std::optional<QString> chosen = dialogs_.saveFile(this, request);
  if (!chosen) return;
  projectPath_ = localPath(*chosen);
  UpdateTitle();
  SaveProject();
}

bool MainDialog::AskReplace(const QString& path) {
  return dialogs_.message(this, QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(path),
                          QLatin1String(kSaveImagesCaption), MessageButtons::YesNo,
                          MessageIcon::Warning) == MessageAnswer::Yes;
}

void MainDialog::SaveProcessed() {
  FlushPages();
  const SourceList& images = engine_.list(ListRole::Images);
  const int32_t enabled = enabledCount(images);
  if (enabled == 0) {
    dialogs_.message(this, QStringLiteral("No images to save"), QLatin1String(kSaveImagesCaption), MessageButtons::Ok,
                     MessageIcon::None);
    return;
  }
  // The view loads its frame afresh after the command, however it ends.
  engine_.currentSource = nullptr;
  Invalidate();

  ProcessedExport request;
  FileRequest dialog;
  dialog.title = QLatin1String(kSaveProcessedTitle);
  dialog.filters = processedFilters(enabled == 1);
  dialog.defaultSuffix = QStringLiteral("avi");
  // The name field starts empty and keeps the last choice when the dialog
  // comes back.
  for (;;) {
    dialog.filterIndex = processedFilterIndex_;
    const std::optional<QString> chosen = dialogs_.saveFile(this, dialog);
    if (!chosen) return;
    processedFilterIndex_ = dialog.filterIndex;
    dialog.initialPath = *chosen;
    const std::string path = localPath(*chosen);
    request = ProcessedExport();
    request.path = path;
    request.kind = outputKindOf(path);
    if (request.kind == OutputKind::Raw) request.kind = OutputKind::None;
    request.sixteenBit = fitsSixteenBit(processedFilterIndex_);

    if (request.kind == OutputKind::Avi) {
      if (checkFileConflict(path, images)) {
        dialogs_.message(
            this,
            QStringLiteral("%1\nFile already loaded in the image list.\nPlease save using a different filename.")
                .arg(*chosen),
            QStringLiteral("File conflict"), MessageButtons::Ok, MessageIcon::Warning);
        return;
      }
      if (QFileInfo::exists(*chosen) && !AskReplace(*chosen)) continue;
    } else if (request.kind == OutputKind::Bitmap || request.kind == OutputKind::Fits) {
      if (enabled == 1) {
        if (QFileInfo::exists(*chosen) && !AskReplace(*chosen)) continue;
      } else {
        request.name = sequenceNameOf(path);
        const std::optional<uint32_t> first = dialogs_.sequenceNumber(this, request.name.initialNumber);
        if (!first) {
          dialog.initialPath = displayPath(request.name.base);
          continue;
        }
        request.sequence = true;
        request.firstNumber = *first;
      }
    }
    break;
  }

  request.showFrame = [this] { RefreshView(); };
  const ExportResult result = saveProcessed(engine_, request);
  if (result.aviNotOpened) {
    dialogs_.message(this, QStringLiteral("Can't open AVI"), QLatin1String(kSaveImagesCaption), MessageButtons::Ok,
                     MessageIcon::None);
  } else if (!result.ok) {
    dialogs_.message(this,
                     QStringLiteral("%1\ncould not be written: %2\nThe export stopped after %3 frames.")
                         .arg(displayPath(result.failedPath), QString::fromStdString(result.why))
                         .arg(result.written),
                     QLatin1String(kSaveImagesCaption), MessageButtons::Ok, MessageIcon::Warning);
  }
  Invalidate();
}

void MainDialog::SaveMasterFrame(const ImageSlot& frame, const QString& title) {
  Invalidate();
  if (!frame) {
    dialogs_.message(this, QStringLiteral("Nothing to save!"), title, MessageButtons::Ok, MessageIcon::None);
    return;
  }
  FileRequest dialog;
  dialog.title = title;
  dialog.filters = masterFilters();
  dialog.filterIndex = masterFilterIndex_;
  dialog.initialPath = displayPath(projectPath_);
  dialog.defaultSuffix = QStringLiteral("bmp");
  dialog.confirmOverwrite = true;
  const std::optional<QString> chosen = dialogs_.saveFile(this, dialog);
  if (!chosen) return;
  masterFilterIndex_ = dialog.filterIndex;
  const std::string path = localPath(*chosen);
  const OutputKind kind = outputKindOf(path);
  if (kind != OutputKind::Bitmap && kind != OutputKind::Fits) {
    dialogs_.message(this, QStringLiteral("Unknown file format"), title, MessageButtons::Ok, MessageIcon::None);
    return;
  }
  std::string why;
  if (saveMasterFrame(*frame, path, fitsSixteenBit(masterFilterIndex_), &why)) return;
  dialogs_.message(this, QStringLiteral("%1\ncould not be written: %2").arg(*chosen, QString::fromStdString(why)),
                   title, MessageButtons::Ok, MessageIcon::Warning);
}

void MainDialog::SaveDarkAverage() {
  FlushPages();
  if (!engine_.masterDark) engine_.AverageDarks();
  SaveMasterFrame(engine_.masterDark, QStringLiteral("Save Darkframe"));
}

void MainDialog::SaveFlatAverage() {
  FlushPages();
  if (!engine_.masterFlat) engine_.AverageFlats();
  SaveMasterFrame(engine_.masterFlat, QStringLiteral("Save Flatframe"));
}

void MainDialog::SaveSyntheticFlat() {
  FlushPages();
  if (!engine_.syntheticFlat) engine_.SmoothGradient();
  SaveMasterFrame(engine_.syntheticFlat, QStringLiteral("Save Synthetic Flatframe"));
}

}  // namespace stelp
