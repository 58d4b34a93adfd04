#pragma once

#include <QMainWindow>
#include <QRect>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/dialog_host.h"
#include "app/dialog_units.h"
#include "app/image_view.h"
#include "engine/engine.h"
#include "engine/export.h"
#include "engine/paint.h"
#include "engine/progress.h"
#include "engine/worker.h"
#include "persist/settings_file.h"

class QAction;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace stelp {

class DarksPage;
class FlatsPage;
struct PreparedProject;
class ImagesPage;
class SettingsPage;
class SourceListView;
class SourceListModel;

// The one window of the program: the role and view selectors, the settings
// page of the role, the list of the role with its three buttons, the image
// view and the status line, and the menus that reach every command. It owns
// the engine; the layers below do every computation and file access.
//
// Everything long runs on a worker thread, one piece of work at a time, so
// the window keeps handling events: the view's products (View work), and an
// import, an export or a master frame (Task work). While work runs the
// window's thread leaves the engine alone: an edit waits until the work has
// stopped. An edit that makes the product being made stale, or that the
// view no longer needs, stops the work at once; any other edit lets the
// product finish and applies at the next product. Commands that change the
// lists or the project stop View work first and are greyed during a Task;
// "Cancel" and closing the window stop any work.
class MainDialog : public QMainWindow, private Progress {
  Q_OBJECT
 public:
  // Sets the window up: the settings file at `settingsPath` (none when
  // empty) is read first, and the welcome or reminder dialog may show.
  MainDialog(DialogHost& dialogs, const std::string& settingsPath, QWidget* parent = nullptr);
  ~MainDialog() override;

  Engine& engine() { return engine_; }
  int32_t role() const;
  QComboBox* roleSelector() const { return roleSelector_; }
  QComboBox* viewSelector(ListRole role) const { return viewSelectors_[index(role)]; }
  QComboBox* currentViewSelector() const { return viewSelectors_[static_cast<size_t>(role())]; }
  SourceListView* list(ListRole role) const { return lists_[index(role)]; }
  SourceListView* currentList() const { return lists_[static_cast<size_t>(role())]; }
  SourceListModel* model(ListRole role) const { return models_[index(role)]; }
  ImagesPage* imagesPage() const { return imagesPage_; }
  FlatsPage* flatsPage() const { return flatsPage_; }
  DarksPage* darksPage() const { return darksPage_; }
  QPushButton* importButton() const { return importButton_; }
  QPushButton* removeButton() const { return removeButton_; }
  QPushButton* toggleButton() const { return toggleButton_; }
  QLineEdit* statusLine() const { return statusLine_; }
  QProgressBar* progressBar() const { return progressBar_; }
  QPushButton* cancelButton() const { return cancelButton_; }
  ImageView* imageView() const { return imageView_; }
  QWidget* client() const { return client_; }
  // The menu command with this text ("Save processed", "E&xit", ...).
  QAction* action(const QString& text) const;
  const std::string& projectPath() const { return projectPath_; }
  int32_t processedFilterIndex() const { return processedFilterIndex_; }
  int32_t masterFilterIndex() const { return masterFilterIndex_; }
  int32_t launchCounter() const { return launchCounter_; }
  // The bitmap the view shows, at its place and scale.
  const Bitmap24& viewBitmap() const { return imageView_->shownBitmap(); }
  // The display stretch of the views that are not processed light frames.
  bool displayStretch() const { return displayStretch_; }
  void SetDisplayStretch(bool on);
  // Holding B in the Images role shows the raw frame in place of the
  // processed one.
  void SetBlink(bool held);
  // The project has changes that no save holds: imports, removals, toggles,
  // the colour mode, the FITS scale, and page edits (those still waiting for
  // their delay too). New, Open and a successful save clear it.
  bool modified() const;

  // The status line: no text shows "Ready"; a text shows only while the
  // line reads "Ready". Redrawn at once. After an export the line says what
  // was written in place of "Ready", until the next command or edit.
  void SetStatus(const std::string& text = std::string());
  // Asks for the view to be drawn again once the current event is handled.
  void Invalidate();
  // Starts bringing the view up to date: what it shows is chosen and made in
  // the background, then painted (at once when no work runs, otherwise once
  // the work has stopped).
  void RefreshView();


  // The work under way.
  enum class WorkKind { None, View, Task };
  WorkKind work() const { return work_; }
  // Stops the work under way, as "Cancel" does: what it was making stays
  // unmade, and the view is not made again until something changes.
  void CancelWork();
  // Handles events until no work runs and none waits to run.
  void FinishWork();

  // The commands of the lists.
  void SwitchRole();
  void ImportFiles();
  void RemoveSelected();
  void ToggleSelected(ListRole role);
  void FlipAtSelectionMark();
  // The commands of the menus.
  void NewProject();
  void OpenProject();
  // Opens the project at `path` without asking (the command line's project).
  void OpenProjectFile(const QString& path);
  void SaveProject() {
    WhenIdle([this] { SaveProjectNow(); });
  }
  void SaveProjectAs() {
    WhenIdle([this] { SaveProjectUnderNewName(); });
  }
  void SaveProcessed();
  void SaveDarkAverage();
  void SaveFlatAverage();
  void SaveSyntheticFlat();
  void ToggleColourProcessing();
  void SetFitsScale(FitsScale scale);
  void ShowPayment();

  // The settings pages' values, after their refresh timers ran out.
  void ApplyImagesPage();
  void ApplyFlatsPage();
  void ApplyDarksPage();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // Closing asks before unsaved changes are lost; "Cancel" or a failed save
  // keeps the window open.
  void closeEvent(QCloseEvent* event) override;

 private:
  static size_t index(ListRole role) { return static_cast<size_t>(role); }

  // Progress, for the engine.
  void ShowStatus(const std::string& text) override;
  void BeginWait() override;
  void EndWait() override;
  void Step(int step, int steps) override;

  // Runs `work` on the worker; `finish` runs on the window's thread after it,
  // told whether the work was stopped; then the edits that waited are made.
  void StartWork(WorkKind kind, std::function<void()> work, std::function<void(bool stopped)> finish);
  void WorkFinished(uint64_t id, bool stopped);
  // Makes `change` to the engine now when no work runs, otherwise once the
  // work has stopped. `drops` are the products the change makes stale;
  // `role` and `view` what the view shows after it. View work is stopped
  // when it makes a product the change drops or the view no longer needs,
  // and otherwise asked to stop after the product it is making.
  void ChangeEngine(std::function<void()> change, ProductSet drops, int32_t role, int32_t view);
  // The view selectors changed: what is being made may no longer be needed.
  void ViewChanged();
  // Runs `command` now when no work runs, otherwise once the work has
  // stopped; View work is stopped for it.
  void WhenIdle(std::function<void()> command);
  // The commands that change the lists or the project are greyed during a
  // Task.
  void UpdateCommandsEnabled();
  void StartImport(const QStringList& names);
  void FinishImport(const QStringList& names, std::vector<FileEntries>& probes);
  void SaveProcessedNow();
  void FinishOpening(const QString& path, PreparedProject& prepared);
  // The messages after an export: cancelled with the files completed, or
  // what failed and the frames passed over.
  void ReportExport(const ExportResult& result);
  // What an export wrote shows in the status line until the next command
  // or edit (EndWrittenReport).
  void ReportWritten(const std::vector<std::string>& files);
  void EndWrittenReport();
  // Where the dialogs for `kind` start: the folder last chosen for it, else
  // the project's folder, else the home folder.
  QString StartFolder(FolderKind kind) const;
  // `path` was chosen in a dialog for `kind`: its folder is where the next
  // one starts.
  void RememberFolder(FolderKind kind, const QString& path);
  void StartSaveMaster(MasterProduct product);
  bool OnWindowThread() const;
  // Makes `call` on the window's thread, in the order posted, from any thread.
  void Post(std::function<void()> call);
  void DeliverMail();
  void buildMenus();
  void buildControls();
  void LayOut();
  std::array<SettingsPage*, kRoleCount> pages() const;
  // The colour and FITS scale commands checked as the engine's settings are.
  void UpdateMenuChecks();
  void UpdateTitle();
  // The page of `role` loaded and shown, the others hidden.
  void ShowPageOf(int32_t role);
  // Every page takes the engine's settings and shows them.
  void LoadPagesFromSettings();
  // Images current, every view selector on "Raw", the lists shown again.
  void ResetRole();
  // After the engine's lists were replaced: the models and selections
  // follow.
  void ReloadLists();
  void SetViewSelectorSilently(QComboBox* selector, int index);
  void ListCurrentChanged(ListRole role, int row);
  bool WriteProject();
  // Both true when the project ended up saved.
  bool SaveProjectNow();
  bool SaveProjectUnderNewName();
  // Before the project is replaced or the window closes: with unsaved
  // changes, asks "Save changes to ...?" and saves on "Save". True when the
  // caller may go on.
  bool MayDiscardProject();
  // The lists emptied, the settings at their defaults, no project file.
  void StartEmptyProject();
  // Hands every page's pending edits to the engine now.
  void FlushPages();
  bool AskReplace(const QString& path, const QString& caption);
  // "PATH\nFile already loaded in the project.": an output would overwrite
  // a source.
  void ShowFileConflict(const QString& path, const QString& caption);
  // `product` says which master `frame` is (a FITS file's header says so
  // too); `suffix` names it in the proposed file name ("_dark").
  void SaveMasterFrame(MasterProduct product, const ImageBuffer* frame, const QString& title, const char* suffix);
  // Shows "Not enough memory for `what`": the answer to an allocation
  // failure in a command, which must not leave the window.
  void ReportNoMemory(const QString& what);
  void LoadSettingsFile();
  void SaveSettingsFile();

  DialogHost& dialogs_;
  Engine engine_;
  DialogUnits units_;
  std::string settingsPath_;
  std::string projectPath_;
  int32_t processedFilterIndex_ = 0;
  int32_t masterFilterIndex_ = 0;
  int32_t launchCounter_ = 0;
  bool modified_ = false;
  LastFolders lastFolders_;
  std::string writtenReport_;  // shown in place of "Ready" after an export

  QWidget* client_ = nullptr;
  QComboBox* roleSelector_ = nullptr;
  std::array<QComboBox*, kRoleCount> viewSelectors_{};
  std::array<SourceListView*, kRoleCount> lists_{};
  std::array<SourceListModel*, kRoleCount> models_{};
  ImagesPage* imagesPage_ = nullptr;
  FlatsPage* flatsPage_ = nullptr;
  DarksPage* darksPage_ = nullptr;
  QPushButton* importButton_ = nullptr;
  QPushButton* removeButton_ = nullptr;
  QPushButton* toggleButton_ = nullptr;
  QLineEdit* statusLine_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  ImageView* imageView_ = nullptr;
  QAction* colourAction_ = nullptr;
  QAction* cameraScaleAction_ = nullptr;
  QAction* brightestScaleAction_ = nullptr;
  QRect setupFrame_;  // where the pages stand; never moves
  QRect viewFrame_;   // the view's frame; follows the window's size

  Bitmap24 bitmap_;
  bool viewPending_ = false;
  bool displayStretch_ = false;
  bool blink_ = false;          // B is held
  bool blinkShown_ = false;     // the view shows (or just showed) a blink
  int32_t shownView_ = -1;      // the view index the last render showed
  std::string readout_;         // the values under the cursor, or empty
  QAction* stretchAction_ = nullptr;
  QAction* histogramAction_ = nullptr;
  // The pointer is over frame pixel (x, y) (or not): the values there show
  // in the status line while it would read "Ready".
  void ShowValuesAt(bool inside, int x, int y);
  // The histogram of the shown picture; in the processed view, of its
  // levels before the stretch, with the stretch's bounds.
  void UpdateHistogram(const std::array<uint32_t, 256>& counts, int32_t role, int32_t view);

  // Background work.
  WorkKind work_ = WorkKind::None;
  uint64_t workId_ = 0;
  std::function<void(bool)> finish_;
  std::vector<std::function<void()>> waiting_;  // edits and commands, in order
  bool viewWanted_ = false;    // the view is to be made again once the work stopped
  bool userStopped_ = false;   // "Cancel": the view is not made again by itself
  int waitCursors_ = 0;        // busy cursors the work put up
  Bitmap24 workBitmap_;        // the view work paints here
  std::mutex mailMutex_;
  std::deque<std::function<void()>> mail_;  // calls posted for the window's thread
  bool mailScheduled_ = false;              // a delivery is queued in the event loop
  std::shared_ptr<Bitmap24> preview_;        // the newest exported frame not yet shown
  // The newest status text and step the worker reported and the window has
  // not shown yet: a window behind a fast worker shows only the newest.
  std::optional<std::string> reportedStatus_;
  std::optional<std::pair<int, int>> reportedStep_;
  bool reportPosted_ = false;
  // Shows what reportedStatus_ and reportedStep_ hold.
  void ShowReported();
  // Last: stopped and joined first, before anything its work uses goes.
  Worker worker_;
};

}  // namespace stelp
