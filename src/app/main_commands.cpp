// The main window's project, export, settings-file and reminder commands.
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <iterator>
#include <new>

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
// The most frames an export's failure message names one by one.
constexpr size_t kFailureLines = 20;

// The dialog shows each label with its patterns: "SER video (*.ser)".
std::vector<FileFilter> processedFilters(bool oneFrame) {
  if (oneFrame)
    return {{"Bitmap file (.bmp)", "*.bmp"},
            {"16 bit FITs file (.fit)", "*.fit;*.fts;*.fits"},
            {"32 bit FITs file (.fit)", "*.fit;*.fts;*.fits"},
            {"AVI file (.avi)", "*.avi"},
            {"All Files (*.*)", "*.*"},
            {"32 bit float FITs file (.fit)", "*.fit;*.fts;*.fits"},
            {"SER video", "*.ser"}};
  return {{"Sequential bitmap files (.bmp)", "*.bmp"},
          {"Sequential 16 bit FITs files (.fit)", "*.fit;*.fts;*.fits"},
          {"Sequential 32 bit FITs files (.fit)", "*.fit;*.fts;*.fits"},
          {"AVI file (.avi)", "*.avi"},
          {"All Files (*.*)", "*.*"},
          {"Sequential 32 bit float FITs files (.fit)", "*.fit;*.fts;*.fits"},
          {"SER video", "*.ser"}};
}

std::vector<FileFilter> masterFilters() {
  return {{"Bitmap files (.bmp)", "*.bmp"},
          {"16 bit FITs files (.fit)", "*.fit;*.fts;*.fits"},
          {"32 bit FITs files (.fit)", "*.fit;*.fts;*.fits"},
          {"All Files (*.*)", "*.*"},
          {"32 bit float FITs files (.fit)", "*.fit;*.fts;*.fits"}};
}

// The file kind each filter of the export dialogs stands for. "All Files"
// stands for the kind a name without extension always got; the float FITS
// filter and then SER come after it, so that the filter numbers users'
// settings files hold keep their meaning.
constexpr OutputKind kProcessedFilterKinds[] = {OutputKind::Bitmap, OutputKind::Fits, OutputKind::Fits,
                                                OutputKind::Avi,    OutputKind::Avi,  OutputKind::Fits,
                                                OutputKind::Ser};
constexpr OutputKind kMasterFilterKinds[] = {OutputKind::Bitmap, OutputKind::Fits, OutputKind::Fits,
                                             OutputKind::Bitmap, OutputKind::Fits};
static_assert(std::size(kProcessedFilterKinds) == kProcessedFloatFilter + 1);
static_assert(std::size(kMasterFilterKinds) == kMasterFloatFilter);

template <size_t N>
OutputKind kindOfFilter(const OutputKind (&kinds)[N], int32_t filterIndex) {
  return filterIndex >= 1 && filterIndex <= static_cast<int32_t>(N) ? kinds[filterIndex - 1] : kinds[0];
}

QString extensionOf(OutputKind kind) {
  switch (kind) {
    case OutputKind::Bitmap: return QStringLiteral(".bmp");
    case OutputKind::Fits: return QStringLiteral(".fits");
    case OutputKind::Ser: return QStringLiteral(".ser");
    default: return QStringLiteral(".avi");
  }
}

// A name whose extension names no kind that an export writes ("cal2",
// "m42.v2") gets the extension of the chosen filter, so the chosen type is
// what is written.
QString withKindOfFilter(const QString& chosen, OutputKind filterKind) {
  const OutputKind kind = outputKindOf(localPath(chosen));
  if (kind != OutputKind::None) return chosen;
  return chosen + extensionOf(filterKind);
}

// Asks for an export's file name with the filter last chosen, remembers the
// filter chosen now and the name typed (for when the dialog comes back), and
// gives the name with the filter's extension added where it needs one. None
// when the user cancels.
template <size_t N>
std::optional<QString> askOutputName(DialogHost& dialogs, QWidget* owner, FileRequest& dialog,
                                     int32_t& filterIndex, const OutputKind (&kinds)[N]) {
  dialog.filterIndex = filterIndex;
  const std::optional<QString> chosen = dialogs.saveFile(owner, dialog);
  if (!chosen) return std::nullopt;
  filterIndex = dialog.filterIndex;
  dialog.initialPath = *chosen;
  return withKindOfFilter(*chosen, kindOfFilter(kinds, filterIndex));
}

FileRequest projectRequest(const char* title, const QString& initialPath) {
  FileRequest request;
  request.title = QLatin1String(title);
  request.filters = {{kProjectFilterName, kProjectFilterPattern}, {kAllFilesFilterName, kAllFilesFilterPattern}};
  request.filterIndex = 1;
  request.initialPath = initialPath;
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
  lastFolders_ = stored.folders;

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
  values.folders = lastFolders_;
  // A settings file that cannot be written only costs the next run its
  // window position; nobody is left to tell at this point.
  saveSettings(settingsPath_, values);
}

QString MainDialog::StartFolder(FolderKind kind) const {
  // A folder that was removed since is passed over.
  const QString last = displayPath(lastFolders_[static_cast<size_t>(kind)]);
  if (!last.isEmpty() && QFileInfo(last).isDir()) return last;
  if (!projectPath_.empty()) return QFileInfo(displayPath(projectPath_)).absolutePath();
  return QDir::homePath();
}

void MainDialog::RememberFolder(FolderKind kind, const QString& path) {
  lastFolders_[static_cast<size_t>(kind)] = localPath(QFileInfo(path).absolutePath());
}

void MainDialog::ReportWritten(const std::vector<std::string>& files) {
  if (files.empty()) return;
  const QFileInfo first(displayPath(files.front()));
  const QString text =
      files.size() == 1
          ? QStringLiteral("Wrote %1").arg(first.absoluteFilePath())
          : QStringLiteral("Wrote %1 files to %2: %3 to %4")
                .arg(files.size())
                .arg(first.absolutePath(), first.fileName(), QFileInfo(displayPath(files.back())).fileName());
  writtenReport_ = text.toStdString();
  SetStatus();
}

void MainDialog::EndWrittenReport() {
  if (writtenReport_.empty()) return;
  writtenReport_.clear();
  SetStatus();
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
  // Their delay is then over: the page's command does not come again.
  if (imagesPage_->TakeRefresh()) ApplyImagesPage();
  if (flatsPage_->TakeRefresh()) ApplyFlatsPage();
  if (darksPage_->TakeRefresh()) ApplyDarksPage();
}

void MainDialog::ReloadLists() {
  for (int r = 0; r < kRoleCount; ++r) {
    models_[static_cast<size_t>(r)]->reload();
    lists_[static_cast<size_t>(r)]->selectOnly(engine_.list(static_cast<ListRole>(r)).focused);
  }
}

bool MainDialog::modified() const {
  if (modified_) return true;
  for (const SettingsPage* page : pages())
    if (page->refreshPending()) return true;
  return false;
}

bool MainDialog::MayDiscardProject() {
  if (!modified()) return true;
  const QString name = projectPath_.empty() ? QStringLiteral("Untitled")
                                            : displayPath(projectPath_.substr(projectNameOffset(projectPath_)));
  switch (dialogs_.message(this, QStringLiteral("Save changes to %1?").arg(name), QLatin1String(kAppCaption),
                           MessageButtons::SaveDiscardCancel, MessageIcon::Warning)) {
    case MessageAnswer::Save: return SaveProjectNow();
    case MessageAnswer::Discard: return true;
    default: return false;
  }
}

void MainDialog::closeEvent(QCloseEvent* event) {
  // Work under way is stopped first; the window closes once it has.
  if (work_ != WorkKind::None) {
    event->ignore();
    CancelWork();
    WhenIdle([this] { close(); });
    return;
  }
  if (MayDiscardProject()) {
    event->accept();
    return;
  }
  event->ignore();
}

void MainDialog::ReportNoMemory(const QString& what) {
  dialogs_.message(this, QStringLiteral("Not enough memory for %1").arg(what), QLatin1String(kAppCaption),
                   MessageButtons::Ok, MessageIcon::Warning);
}

void MainDialog::NewProject() {
  WhenIdle([this] {
    if (!MayDiscardProject()) return;
    StartEmptyProject();
  });
}

void MainDialog::StartEmptyProject() {
  for (SourceListModel* model : models_) model->clear();
  newProject(engine_);
  ReloadLists();
  LoadPagesFromSettings();
  ResetRole();
  projectPath_.clear();
  modified_ = false;
  UpdateTitle();
  UpdateMenuChecks();
  Invalidate();
}

void MainDialog::OpenProject() {
  WhenIdle([this] {
    if (!MayDiscardProject()) return;
    FileRequest request = projectRequest(kOpenProjectTitle, StartFolder(FolderKind::Project));
    const std::optional<QString> chosen = dialogs_.openFile(this, request);
    if (!chosen) return;
    RememberFolder(FolderKind::Project, *chosen);
    OpenProjectFile(*chosen);
  });
}

// The project's files are probed in the background; the engine takes the
// project only once all were, so a stopped open leaves the present project.
void MainDialog::OpenProjectFile(const QString& path) {
  if (work_ != WorkKind::None) {
    WhenIdle([this, path] { OpenProjectFile(path); });
    return;
  }
  auto prepared = std::make_shared<PreparedProject>();
  auto noMemory = std::make_shared<bool>(false);
  const ProcessingSettings present = engine_.settings();
  StartWork(
      WorkKind::Task,
      [this, path, prepared, noMemory, present] {
        engine_.SetStatus("Opening project");
        try {
          *prepared = prepareProject(localPath(path), present);
        } catch (const std::bad_alloc&) {
          *noMemory = true;
        }
      },
      [this, path, prepared, noMemory](bool stopped) {
        if (*noMemory) {
          ReportNoMemory(path);
          return;
        }
        if (stopped) return;
        FinishOpening(path, *prepared);
      });
}

void MainDialog::FinishOpening(const QString& path, PreparedProject& prepared) {
  const OpenProjectResult& result = prepared.result;
  const QString caption = QLatin1String(kFilesNotLoadedCaption);
  const QString why = QString::fromStdString(result.why);
  // A file that is not a project leaves the present project as it was.
  switch (result.status) {
    case OpenStatus::Opened: break;
    case OpenStatus::NotFound:
      dialogs_.message(this, QStringLiteral("%1\ndoes not exist.").arg(path), caption, MessageButtons::Ok,
                       MessageIcon::Exclamation);
      return;
    case OpenStatus::NotAProject:
      dialogs_.message(this, QStringLiteral("%1\nis not a Stelp project: %2").arg(path, why), caption,
                       MessageButtons::Ok, MessageIcon::Exclamation);
      return;
    case OpenStatus::Unreadable:
      dialogs_.message(this, QStringLiteral("%1\ncould not be read: %2").arg(path, why), caption,
                       MessageButtons::Ok, MessageIcon::Exclamation);
      return;
    case OpenStatus::Stopped: return;
  }
  for (SourceListModel* model : models_) model->clear();
  installProject(prepared, engine_);
  projectPath_ = localPath(path);
  ReloadLists();
  if (!result.missingFiles.empty()) {
    QStringList names;
    for (const std::string& name : result.missingFiles) names << displayPath(name);
    dialogs_.message(this,
                     QStringLiteral("%1; these files were not found and are kept in the lists as missing:\n%2")
                         .arg(QLatin1String(kFilesNotLoadedMessage), names.join(QLatin1Char('\n'))),
                     caption, MessageButtons::Ok, MessageIcon::Exclamation);
  }
  if (!result.problems.empty() || !result.settingChanges.empty()) {
    QStringList changes;
    for (const auto* lines : {&result.problems, &result.settingChanges})
      for (const std::string& change : *lines) changes << QString::fromStdString(change);
    dialogs_.message(this,
                     QStringLiteral("The project was opened with these changes:\n%1").arg(changes.join(QLatin1Char('\n'))),
                     caption, MessageButtons::Ok, MessageIcon::Exclamation);
  }
  LoadPagesFromSettings();
  ResetRole();
  modified_ = false;
  UpdateTitle();
  UpdateMenuChecks();
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
  modified_ = false;
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

bool MainDialog::SaveProjectNow() {
  if (!projectPath_.empty() && WriteProject()) return true;
  return SaveProjectUnderNewName();
}

bool MainDialog::SaveProjectUnderNewName() {
  // The project's own name, in the folder last used for projects.
  const QString folder = StartFolder(FolderKind::Project);
  FileRequest request = projectRequest(
      kSaveProjectTitle,
      projectPath_.empty() ? folder : QDir(folder).filePath(QFileInfo(displayPath(projectPath_)).fileName()));
  request.confirmOverwrite = true;
  const std::optional<QString> chosen = dialogs_.saveFile(this, request);
  if (!chosen) return false;
  RememberFolder(FolderKind::Project, *chosen);
  projectPath_ = localPath(*chosen);
  UpdateTitle();
  return SaveProjectNow();
}

bool MainDialog::AskReplace(const QString& path, const QString& caption) {
  return dialogs_.message(this, QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(path), caption,
                          MessageButtons::YesNo, MessageIcon::Warning) == MessageAnswer::Yes;
}

void MainDialog::SaveProcessed() {
  WhenIdle([this] { SaveProcessedNow(); });
}

void MainDialog::SaveProcessedNow() {
  FlushPages();
  const SourceList& images = engine_.list(ListRole::Images);
  const int32_t enabled = enabledCount(images);
  if (enabled == 0) {
    dialogs_.message(this, QStringLiteral("No images to save"), QLatin1String(kSaveImagesCaption), MessageButtons::Ok,
                     MessageIcon::None);
    return;
  }

  ProcessedExport request;
  FileRequest dialog;
  dialog.title = QLatin1String(kSaveProcessedTitle);
  dialog.filters = processedFilters(enabled == 1);
  // The dialog starts in the folder of the last export with an empty name,
  // and keeps the last choice when it comes back. There is no default
  // suffix: a name typed without a known extension takes the chosen
  // filter's.
  dialog.initialPath = StartFolder(FolderKind::Processed);
  for (;;) {
    const std::optional<QString> answer =
        askOutputName(dialogs_, this, dialog, processedFilterIndex_, kProcessedFilterKinds);
    if (!answer) return;
    const QString& named = *answer;
    RememberFolder(FolderKind::Processed, named);
    const std::string path = localPath(named);
    request = ProcessedExport();
    request.path = path;
    request.kind = outputKindOf(path);
    request.depth = fitsDepthOfFilter(processedFilterIndex_, kProcessedFloatFilter);

    if (!isVideoOutput(request.kind) && enabled > 1) {
      request.name = sequenceNameOf(path);
      const std::optional<uint32_t> first = dialogs_.sequenceNumber(this, request.name.initialNumber);
      if (!first) {
        dialog.initialPath = displayPath(request.name.base);
        continue;
      }
      request.sequence = true;
      request.firstNumber = *first;
    }
    // No file the export writes may be a source of the project, in any list.
    std::string conflict;
    if (checkFileConflict(exportFileNames(request, enabled), engine_.lists(), &conflict)) {
      ShowFileConflict(displayPath(conflict), QStringLiteral("File conflict"));
      return;
    }
    if (!request.sequence && QFileInfo::exists(named) && !AskReplace(named, QLatin1String(kSaveImagesCaption)))
      continue;
    break;
  }

  // Each frame is shown while it is written: painted on the worker, handed
  // to the view here.
  const QRect viewRect = imageView_->geometry();
  const QColor background = palette().color(QPalette::Dark);
  const uint8_t grey = static_cast<uint8_t>((background.red() + 2 * background.green() + background.blue()) >> 2);
  request.showFrame = [this, viewRect, background, grey](const ImageBuffer& frame) {
    auto shown = std::make_shared<Bitmap24>();
    PaintImage(frame, viewRect.width(), viewRect.height(), Reduce::Allowed, Enlarge::NotAllowed,
               grey, *shown);
    // Only the newest frame is worth showing: a window that falls behind
    // skips the frames in between instead of drawing each.
    {
      std::lock_guard lock(mailMutex_);
      preview_ = std::move(shown);
    }
    Post([this, background] {
      std::shared_ptr<Bitmap24> newest;
      {
        std::lock_guard lock(mailMutex_);
        newest = std::move(preview_);
      }
      if (!newest) return;
      bitmap_ = std::move(*newest);
      imageView_->setBitmap(&bitmap_, background);
      imageView_->update();
    });
  };
  auto result = std::make_shared<ExportResult>();
  auto noMemory = std::make_shared<bool>(false);
  StartWork(
      WorkKind::Task,
      [this, request, result, noMemory] {
        try {
          *result = saveProcessed(engine_, request);
        } catch (const std::bad_alloc&) {
          *noMemory = true;
        }
      },
      [this, request, result, noMemory](bool) {
        if (*noMemory) {
          ReportNoMemory(displayPath(request.path));
        } else {
          ReportExport(*result);
          ReportWritten(result->files);
        }
        Invalidate();
      });
}

void MainDialog::ReportExport(const ExportResult& result) {
  if (result.stopped) {
    QStringList files;
    for (const std::string& file : result.files) files << displayPath(file);
    dialogs_.message(this,
                     files.isEmpty() ? QStringLiteral("The export was cancelled; no file was completed.")
                                     : QStringLiteral("The export was cancelled; these files were completed:\n%1")
                                           .arg(files.join(QLatin1Char('\n'))),
                     QLatin1String(kSaveImagesCaption), MessageButtons::Ok, MessageIcon::None);
    return;
  }
  if (result.conflict) {
    ShowFileConflict(displayPath(result.failedPath), QStringLiteral("File conflict"));
  } else if (result.aviNotOpened) {
    dialogs_.message(this, QStringLiteral("Can't open AVI"), QLatin1String(kSaveImagesCaption), MessageButtons::Ok,
                     MessageIcon::None);
  } else if (!result.ok) {
    dialogs_.message(this,
                     QStringLiteral("%1\ncould not be written: %2\nThe export stopped after %3 frames.")
                         .arg(displayPath(result.failedPath), QString::fromStdString(result.why))
                         .arg(result.written),
                     QLatin1String(kSaveImagesCaption), MessageButtons::Ok, MessageIcon::Warning);
  }
  // Every frame passed over, in one message after the export.
  const std::string failures = describeFailures(result, kFailureLines);
  if (!failures.empty())
    dialogs_.message(this, QString::fromStdString(failures), QLatin1String(kSaveImagesCaption), MessageButtons::Ok,
                     MessageIcon::Warning);
}

void MainDialog::ShowFileConflict(const QString& path, const QString& caption) {
  dialogs_.message(this,
                   QStringLiteral("%1\nFile already loaded in the project.\nPlease save using a different filename.")
                       .arg(path),
                   caption, MessageButtons::Ok, MessageIcon::Warning);
}

void MainDialog::SaveMasterFrame(MasterProduct product, const ImageBuffer* frame, const QString& title,
                                 const char* suffix) {
  Invalidate();
  if (!frame) {
    dialogs_.message(this, QStringLiteral("Nothing to save!"), title, MessageButtons::Ok, MessageIcon::None);
    return;
  }
  // The proposed name is the project's with the product's suffix, of the
  // kind of the filter last chosen, in the folder last saved a master to.
  const QFileInfo project(displayPath(projectPath_));
  QString name = projectPath_.empty() ? QString::fromLatin1(suffix + 1) : project.completeBaseName() + suffix;
  name += extensionOf(kindOfFilter(kMasterFilterKinds, masterFilterIndex_));
  FileRequest dialog;
  dialog.title = title;
  dialog.filters = masterFilters();
  dialog.initialPath = QDir(StartFolder(FolderKind::Master)).filePath(name);
  for (;;) {
    const std::optional<QString> answer = askOutputName(dialogs_, this, dialog, masterFilterIndex_, kMasterFilterKinds);
    if (!answer) return;
    const QString& named = *answer;
    const std::string path = localPath(named);
    const OutputKind kind = outputKindOf(path);
    if (kind != OutputKind::Bitmap && kind != OutputKind::Fits) {
      dialogs_.message(this, QStringLiteral("Unknown file format"), title, MessageButtons::Ok, MessageIcon::None);
      return;
    }
    // The window asks itself: the dialog saw the name before its extension
    // was added.
    std::string conflict;
    if (checkFileConflict({path}, engine_.lists(), &conflict)) {
      ShowFileConflict(named, title);
      return;
    }
    if (QFileInfo::exists(named) && !AskReplace(named, title)) continue;
    RememberFolder(FolderKind::Master, named);
    std::string why;
    if (saveMasterFrame(engine_, product, *frame, path, fitsDepthOfFilter(masterFilterIndex_, kMasterFloatFilter),
                        &why)) {
      ReportWritten({path});
      return;
    }
    dialogs_.message(this, QStringLiteral("%1\ncould not be written: %2").arg(named, QString::fromStdString(why)),
                     title, MessageButtons::Ok, MessageIcon::Warning);
    return;
  }
}

// The product is made in the background when absent; an allocation failure
// there ends the command with a message, a cancel ends it silently.
void MainDialog::StartSaveMaster(MasterProduct product) {
  struct Master {
    ProductBit bit;
    const char* title;
    const char* suffix;
    const char* what;
  };
  static constexpr Master kDark{kMasterDarkBit, "Save Darkframe", "_dark", "the dark average"};
  static constexpr Master kFlat{kMasterFlatBit, "Save Flatframe", "_flat", "the flat average"};
  static constexpr Master kSynthetic{kSyntheticFlatBit, "Save Synthetic Flatframe", "_synflat",
                                     "the synthetic flat"};
  const Master& master = product == MasterProduct::Dark ? kDark : product == MasterProduct::Flat ? kFlat : kSynthetic;
  WhenIdle([this, product, &master] {
    FlushPages();
    auto noMemory = std::make_shared<bool>(false);
    StartWork(
        WorkKind::Task,
        [this, &master, noMemory] {
          try {
            engine_.Make(master.bit);
          } catch (const std::bad_alloc&) {
            *noMemory = true;
          }
        },
        [this, product, &master, noMemory](bool stopped) {
          if (*noMemory) {
            ReportNoMemory(QLatin1String(master.what));
            return;
          }
          if (stopped) return;
          SaveMasterFrame(product, engine_.product(master.bit), QLatin1String(master.title), master.suffix);
        });
  });
}

void MainDialog::SaveDarkAverage() { StartSaveMaster(MasterProduct::Dark); }
void MainDialog::SaveFlatAverage() { StartSaveMaster(MasterProduct::Flat); }
void MainDialog::SaveSyntheticFlat() { StartSaveMaster(MasterProduct::SyntheticFlat); }

}  // namespace stelp
