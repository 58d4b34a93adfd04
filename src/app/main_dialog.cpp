#include "app/main_dialog.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCollator>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <new>
#include <tuple>

#include "app/dialogs.h"
#include "app/histogram_widget.h"
#include "app/settings_pages.h"
#include "app/source_list_view.h"
#include "engine/parallel.h"
#include "image/file_kind.h"
#include "image/image_source.h"
#include "persist/project.h"

namespace stelp {
namespace {

// The window's layout in dialog units (x, y, width, height).
constexpr int kClientWidth = 366;
constexpr int kClientHeight = 247;
constexpr QRect kRoleSelectorRect(7, 4, 43, 66);
constexpr QRect kViewSelectorRect(51, 4, 62, 94);
constexpr QRect kSetupFrameRect(7, 17, 106, 92);
constexpr QRect kListRect(7, 110, 106, 115);
constexpr QRect kImportRect(7, 228, 33, 11);
constexpr QRect kRemoveRect(43, 228, 33, 11);
constexpr QRect kToggleRect(80, 228, 33, 11);
constexpr QRect kStatusRect(117, 228, 242, 12);
constexpr QRect kViewFrameRect(114, 1, 245, 225);

// The smallest outer size the window may be dragged to, in pixels.
constexpr int kMinimumWidth = 420;
constexpr int kMinimumHeight = 350;
// Below the bottom row, and between it and the list and view above, in
// pixels.
constexpr int kBottomMargin = 4;
constexpr int kRowGap = 8;

constexpr const char* kImportFailureCaption = "Import failure";

// The import dialog's filters, from the table of file kinds: every kind it
// reads, each kind on its own, then every file.
std::vector<FileFilter> importFilters() {
  auto filter = [](const std::string& label, FileKind kind) {
    return FileFilter{QString::fromStdString(label + " (" + extensionList(kind, ".", ";") + ")"),
                      QString::fromStdString(extensionList(kind, "*.", ";"))};
  };
  std::vector<FileFilter> filters = {filter("All image files", FileKind::Unknown)};
  for (const FileKindInfo& info : fileKinds()) filters.push_back(filter(info.label, info.kind));
  filters.push_back({QStringLiteral("All files (*.*)"), QStringLiteral("*.*")});
  return filters;
}

// The files in the order Qt's file dialog lists them: by name with the
// collation it uses (without regard to case, and numbers by their value,
// "m9" before "m10", where the locale's collation allows). Dialogs hand the
// chosen files over in the order they were clicked, or reversed.
void sortAsListed(QStringList& names) {
  QCollator collator;
  collator.setNumericMode(true);
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  std::stable_sort(names.begin(), names.end(), [&](const QString& a, const QString& b) {
    return collator.compare(QFileInfo(a).fileName(), QFileInfo(b).fileName()) < 0;
  });
}

// The size the window starts at when no place was stored: the design's size
// was chosen for small screens, so where the screen has room the window
// grows towards three quarters of its free area, to twice the design at most.
QSize startSize(const QSize& design, const QScreen* screen) {
  if (!screen) return design;
  const QSize room = screen->availableGeometry().size() * 3 / 4;
  return design.expandedTo(room.boundedTo(design * 2));
}

// "%d file%s ..." with " is" for one file and "s are" for more.
QString countedLine(int count, const char* rest) {
  return QStringLiteral("%1 file%2 %3").arg(count).arg(count == 1 ? " is" : "s are").arg(QLatin1String(rest));
}

// The settings a page hands over, as comparable tuples: a page's command
// that changes nothing leaves the project unmodified.
auto fieldsOf(const ProcessingGroup& g) {
  return std::tie(g.dark, g.flat, g.synFlat, g.hot, g.stretch, g.stretchFromRel, g.stretchToRel, g.stretchFromAbs,
                  g.stretchToAbs, g.deInterlace);
}
auto fieldsOf(const CombineGroup& g) { return std::tie(g.method, g.kappaLow, g.kappaHigh); }
auto fieldsOf(const FlatGroup& g) {
  return std::tuple_cat(std::tie(g.filterWidth, g.filterHeight, g.varHi, g.varLo, g.border), fieldsOf(g.combine));
}
auto fieldsOf(const DarkGroup& g) { return std::tuple_cat(std::tie(g.hot, g.cold, g.expand), fieldsOf(g.combine)); }

// The grey byte the bitmap is filled with for a background colour.
uint8_t greyOf(const QColor& colour) {
  return static_cast<uint8_t>((colour.red() + 2 * colour.green() + colour.blue()) >> 2);
}

}  // namespace

MainDialog::MainDialog(DialogHost& dialogs, const std::string& settingsPath, QWidget* parent)
    : QMainWindow(parent), dialogs_(dialogs), engine_(this), units_(font()), settingsPath_(settingsPath) {
  setWindowTitle(QString::fromStdString(projectTitle("")));
  setWindowIcon(appIcon());
  buildMenus();
  buildControls();
  const QSize design(units_.x(kClientWidth), units_.y(kClientHeight) + menuBar()->sizeHint().height());
  resize(startSize(design, screen()));
  if (const QScreen* shown = screen()) move(shown->availableGeometry().center() - rect().center());

  // The settings file first: it may move and size the window and show the
  // welcome or the reminder.
  LoadSettingsFile();

  ResetRole();

  imagesPage_ = new ImagesPage(units_, client_);
  flatsPage_ = new FlatsPage(units_, client_);
  darksPage_ = new DarksPage(units_, client_);
  connect(imagesPage_, &SettingsPage::command, this, &MainDialog::ApplyImagesPage);
  connect(flatsPage_, &SettingsPage::command, this, &MainDialog::ApplyFlatsPage);
  connect(darksPage_, &SettingsPage::command, this, &MainDialog::ApplyDarksPage);
  LoadPagesFromSettings();
  for (SettingsPage* page : pages()) page->setGeometry(setupFrame_);
  flatsPage_->hide();
  darksPage_->hide();
  imagesPage_->show();

  UpdateMenuChecks();
  LayOut();
  Invalidate();
}

MainDialog::~MainDialog() {
  // The work stops first: it uses the engine and the lists.
  worker_.RequestStop();
  worker_.WaitIdle();
  SaveSettingsFile();
  // The lists give back their entries from the last to the first, then the
  // frame and the products go, then the pages.
  for (SourceListModel* model : models_) model->clear();
  engine_.DropAllProducts();
  delete imagesPage_;
  delete flatsPage_;
  delete darksPage_;
  imagesPage_ = nullptr;
  flatsPage_ = nullptr;
  darksPage_ = nullptr;
  // The views go before the engine whose lists their models show.
  delete client_;
  client_ = nullptr;
}

void MainDialog::buildMenus() {
  auto add = [this](QMenu* menu, const char* text, void (MainDialog::*command)()) {
    QAction* action = menu->addAction(QString::fromLatin1(text));
    connect(action, &QAction::triggered, this, command);
    return action;
  };
  QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
  add(file, "Import...", &MainDialog::ImportFiles);
  // The Delete key removes a list's selection only while a list has the
  // focus (the lists take the command in buildControls): in an edit it
  // deletes a character.
  QAction* remove = add(file, "Delete", &MainDialog::RemoveSelected);
  remove->setShortcut(QKeySequence(Qt::Key_Delete));
  remove->setShortcutContext(Qt::WidgetShortcut);
  file->addSeparator();
  QAction* exit = file->addAction(QStringLiteral("E&xit"));
  exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(exit, &QAction::triggered, this, &QWidget::close);

  QMenu* project = menuBar()->addMenu(QStringLiteral("Project"));
  add(project, "New", &MainDialog::NewProject)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
  add(project, "Open...", &MainDialog::OpenProject)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  project->addSeparator();
  add(project, "Save", &MainDialog::SaveProject)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  add(project, "Save as...", &MainDialog::SaveProjectAs);
  project->addSeparator();
  // How FITS files become grey levels: a project setting, one of two.
  QMenu* fitsScale = project->addMenu(QStringLiteral("FITS scale"));
  auto* fitsScales = new QActionGroup(this);
  auto addScale = [&](const char* text, const char* name, FitsScale scale) {
    QAction* action = fitsScale->addAction(QString::fromLatin1(text));
    action->setObjectName(QLatin1String(name));
    action->setCheckable(true);
    fitsScales->addAction(action);
    connect(action, &QAction::triggered, this, [this, scale] { SetFitsScale(scale); });
    return action;
  };
  cameraScaleAction_ = addScale("Camera scale", "fitsScaleCamera", FitsScale::Camera);
  brightestScaleAction_ = addScale("Brightest pixel", "fitsScaleBrightest", FitsScale::BrightestPixel);

  QMenu* images = menuBar()->addMenu(QStringLiteral("Images"));
  add(images, "Save processed", &MainDialog::SaveProcessed);
  images->addSeparator();
  add(images, "Save dark average", &MainDialog::SaveDarkAverage);
  add(images, "Save flat average", &MainDialog::SaveFlatAverage);
  add(images, "Save synthetic flat", &MainDialog::SaveSyntheticFlat);
  images->addSeparator();
  colourAction_ = add(images, "Colour processing", &MainDialog::ToggleColourProcessing);
  colourAction_->setCheckable(true);

  // The view's commands; the keys after a tab work while the view has the
  // keyboard focus (a click on it), so they never take a digit from an edit.
  QMenu* viewMenu = menuBar()->addMenu(QStringLiteral("View"));
  connect(viewMenu->addAction(QStringLiteral("Zoom in\t+")), &QAction::triggered, this,
          [this] { imageView_->ZoomIn(); });
  connect(viewMenu->addAction(QStringLiteral("Zoom out\t-")), &QAction::triggered, this,
          [this] { imageView_->ZoomOut(); });
  connect(viewMenu->addAction(QStringLiteral("Fit\t0")), &QAction::triggered, this, [this] { imageView_->ZoomFit(); });
  connect(viewMenu->addAction(QStringLiteral("Actual pixels\t1")), &QAction::triggered, this,
          [this] { imageView_->ZoomActual(); });
  viewMenu->addSeparator();
  stretchAction_ = viewMenu->addAction(QStringLiteral("Display stretch"));
  stretchAction_->setCheckable(true);
  connect(stretchAction_, &QAction::toggled, this, &MainDialog::SetDisplayStretch);
  histogramAction_ = viewMenu->addAction(QStringLiteral("Histogram"));
  histogramAction_->setCheckable(true);
  histogramAction_->setChecked(true);
  connect(histogramAction_, &QAction::toggled, this, [this](bool on) { imageView_->histogram()->setVisible(on); });

  QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
  QAction* about = help->addAction(QStringLiteral("About Stelp..."));
  connect(about, &QAction::triggered, this, [this] { dialogs_.about(this); });
  help->addSeparator();
  add(help, "Payment", &MainDialog::ShowPayment);
}

void MainDialog::buildControls() {
  client_ = new QWidget(this);
  setCentralWidget(client_);
  client_->installEventFilter(this);

  roleSelector_ = new QComboBox(client_);
  roleSelector_->setObjectName(QStringLiteral("roleSelector"));
  roleSelector_->addItems({QStringLiteral("Images"), QStringLiteral("Flats"), QStringLiteral("Darks")});
  const QRect roleRect = units_.rect(kRoleSelectorRect);
  roleSelector_->setGeometry(roleRect.x(), roleRect.y(), roleRect.width(), roleSelector_->sizeHint().height());
  connect(roleSelector_, &QComboBox::currentIndexChanged, this, &MainDialog::SwitchRole);

  const QStringList views[kRoleCount] = {
      {QStringLiteral("Raw"), QStringLiteral("Processed")},
      {QStringLiteral("Raw"), QStringLiteral("Averaged"), QStringLiteral("Grad detect"),
       QStringLiteral("Synthetic flat")},
      {QStringLiteral("Raw"), QStringLiteral("Averaged"), QStringLiteral("Hot pixels")},
  };
  const char* viewNames[kRoleCount] = {"imagesViewSelector", "flatsViewSelector", "darksViewSelector"};
  const char* listNames[kRoleCount] = {"imagesList", "flatsList", "darksList"};
  const QRect viewRect = units_.rect(kViewSelectorRect);
  const QRect listRect = units_.rect(kListRect);
  for (int r = 0; r < kRoleCount; ++r) {
    QComboBox* selector = new QComboBox(client_);
    selector->setObjectName(QLatin1String(viewNames[r]));
    selector->addItems(views[r]);
    selector->setGeometry(viewRect.x(), viewRect.y(), viewRect.width(), selector->sizeHint().height());
    connect(selector, &QComboBox::currentIndexChanged, this, &MainDialog::ViewChanged);
    viewSelectors_[static_cast<size_t>(r)] = selector;

    auto* model = new SourceListModel(engine_, static_cast<ListRole>(r), this);
    auto* view = new SourceListView(client_);
    view->setObjectName(QLatin1String(listNames[r]));
    view->setModel(model);
    view->setGeometry(listRect);
    view->setColumnWidth(0, listRect.width() - 4);
    const ListRole role = static_cast<ListRole>(r);
    connect(view->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this, role](const QModelIndex& current) { ListCurrentChanged(role, current.row()); });
    connect(view, &QAbstractItemView::doubleClicked, this, &MainDialog::FlipAtSelectionMark);
    connect(view, &SourceListView::spaceTyped, this, [this, role] { ToggleSelected(role); });
    view->addAction(action(QStringLiteral("Delete")));
    models_[static_cast<size_t>(r)] = model;
    lists_[static_cast<size_t>(r)] = view;
  }

  auto button = [this](const char* text, const QRect& design, auto command) {
    auto* b = new QPushButton(QString::fromLatin1(text), client_);
    b->setGeometry(units_.rect(design));
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, command);
    return b;
  };
  importButton_ = button("&Import", kImportRect, &MainDialog::ImportFiles);
  removeButton_ = button("&Remove", kRemoveRect, &MainDialog::RemoveSelected);
  toggleButton_ = button("&Toggle", kToggleRect, [this] { ToggleSelected(static_cast<ListRole>(role())); });

  statusLine_ = new QLineEdit(QStringLiteral("Ready"), client_);
  statusLine_->setObjectName(QStringLiteral("statusLine"));
  statusLine_->setReadOnly(true);
  statusLine_->setEnabled(false);
  // As tall as its text needs, where the font needs more than the design.
  QRect statusRect = units_.rect(kStatusRect);
  statusRect.setHeight(std::max(statusRect.height(), statusLine_->sizeHint().height()));
  statusLine_->setGeometry(statusRect);
  progressBar_ = new QProgressBar(client_);
  progressBar_->setTextVisible(false);
  progressBar_->hide();
  cancelButton_ = new QPushButton(QStringLiteral("Cancel"), client_);
  cancelButton_->setObjectName(QStringLiteral("cancel"));
  cancelButton_->setAutoDefault(false);
  cancelButton_->hide();
  connect(cancelButton_, &QPushButton::clicked, this, &MainDialog::CancelWork);

  setupFrame_ = units_.rect(kSetupFrameRect);
  viewFrame_ = units_.rect(kViewFrameRect);
  imageView_ = new ImageView(client_);
  imageView_->setObjectName(QStringLiteral("imageView"));
  imageView_->setGeometry(viewFrame_.adjusted(2, 6, -1, -1));
  connect(imageView_, &ImageView::Hovered, this, &MainDialog::ShowValuesAt);
  connect(imageView_, &ImageView::Blink, this, &MainDialog::SetBlink);
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == client_ && event->type() == QEvent::Resize) LayOut();
  return QMainWindow::eventFilter(watched, event);
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
  // Escape never closes or changes the main window.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QMainWindow::keyPressEvent(event);
}

// Only the list, the view and the bottom row follow the window's size; the
// selectors and the page stay where the layout puts them.
void MainDialog::LayOut() {
  if (!client_ || !importButton_) return;
  const int width = client_->width();
  const int height = client_->height();
  // The bottom row holds the buttons and the status line, each centred in
  // it, and ends inside the window whichever of them is taller.
  const int rowHeight = std::max(importButton_->height(), statusLine_->height());
  const int top = height - kBottomMargin - rowHeight;
  const int pitch = importButton_->width() + 4;

  viewFrame_.setRight(width - 8 - 1);
  viewFrame_.setBottom(top - kRowGap - 1);
  for (SettingsPage* page : pages())
    if (page) page->setGeometry(setupFrame_);
  QRect listRect = lists_[0]->geometry();
  listRect.setBottom(top - kRowGap - 1);
  for (SourceListView* view : lists_) view->setGeometry(listRect);

  const int buttonTop = top + (rowHeight - importButton_->height()) / 2;
  const int left = importButton_->x();
  importButton_->move(left, buttonTop);
  removeButton_->move(left + pitch, buttonTop);
  toggleButton_->move(left + 2 * pitch, buttonTop);

  QRect status = statusLine_->geometry();
  status.moveTop(top + (rowHeight - status.height()) / 2);
  status.setRight(width - 8 - 1);
  statusLine_->setGeometry(status);
  const int barWidth = std::min(120, status.width() / 3);
  progressBar_->setGeometry(status.right() - barWidth - 3, status.top() + 3, barWidth, status.height() - 6);
  // "Cancel" stands in the status line, left of the progress bar.
  const int cancelWidth = cancelButton_->sizeHint().width();
  cancelButton_->setGeometry(progressBar_->x() - cancelWidth - 4, status.top(), cancelWidth, status.height());

  imageView_->setGeometry(viewFrame_.adjusted(2, 6, -1, -1));
  // The window's outer size may not fall below 420 x 350 pixels; the window
  // manager keeps the opposite border in place.
  const QSize frameExtra = frameGeometry().size() - size();
  setMinimumSize(QSize(kMinimumWidth, kMinimumHeight) - frameExtra);
  Invalidate();
}

int32_t MainDialog::role() const {
  const int r = roleSelector_ ? roleSelector_->currentIndex() : 0;
  return r >= 0 && r < kRoleCount ? r : 0;
}

QAction* MainDialog::action(const QString& text) const {
  for (QAction* a : findChildren<QAction*>())
    if (a->text() == text) return a;
  return nullptr;
}

// While work runs, the status line is the work's.
void MainDialog::SetStatus(const std::string& text) {
  if (work_ == WorkKind::None) engine_.SetStatus(text);
}

bool MainDialog::OnWindowThread() const { return QThread::currentThread() == thread(); }

// The engine reports from the worker too: what it says is shown from the
// window's thread, in order.
void MainDialog::ShowStatus(const std::string& text) {
  if (!OnWindowThread()) {
    bool post = false;
    {
      std::lock_guard lock(mailMutex_);
      reportedStatus_ = text;
      post = !std::exchange(reportPosted_, true);
    }
    if (post) Post([this] { ShowReported(); });
    return;
  }
  if (!statusLine_) return;
  const bool ready = text == "Ready";
  const std::string& idle = !writtenReport_.empty() ? writtenReport_ : !readout_.empty() ? readout_ : text;
  statusLine_->setText(QString::fromStdString(ready ? idle : text));
  if (ready) progressBar_->hide();
  statusLine_->update();
}

void MainDialog::BeginWait() {
  if (!OnWindowThread()) {
    Post([this] { BeginWait(); });
    return;
  }
  // Background work leaves the window usable: the busy cursor, not the wait one.
  QApplication::setOverrideCursor(work_ == WorkKind::None ? Qt::WaitCursor : Qt::BusyCursor);
  if (work_ != WorkKind::None) ++waitCursors_;
}

void MainDialog::EndWait() {
  if (!OnWindowThread()) {
    Post([this] { EndWait(); });
    return;
  }
  if (work_ != WorkKind::None) {
    if (waitCursors_ == 0) return;
    --waitCursors_;
  }
  QApplication::restoreOverrideCursor();
}

void MainDialog::Step(int step, int steps) {
  if (!OnWindowThread()) {
    bool post = false;
    {
      std::lock_guard lock(mailMutex_);
      reportedStep_ = {step, steps};
      post = !std::exchange(reportPosted_, true);
    }
    if (post) Post([this] { ShowReported(); });
    return;
  }
  if (!progressBar_ || steps <= 0) return;
  progressBar_->setRange(0, steps);
  progressBar_->setValue(step);
  if (!progressBar_->isVisible()) {
    progressBar_->show();
    progressBar_->raise();
  }
  if (work_ == WorkKind::None || cancelButton_->isVisible()) return;
  cancelButton_->show();
  cancelButton_->raise();
}

void MainDialog::ShowReported() {
  std::optional<std::string> status;
  std::optional<std::pair<int, int>> step;
  {
    std::lock_guard lock(mailMutex_);
    status = std::exchange(reportedStatus_, std::nullopt);
    step = std::exchange(reportedStep_, std::nullopt);
    reportPosted_ = false;
  }
  // A step shows the bar, and "Ready" hides it: the step goes first.
  if (step) Step(step->first, step->second);
  if (status) ShowStatus(*status);
}

void MainDialog::Invalidate() {
  if (viewPending_) return;
  viewPending_ = true;
  QTimer::singleShot(0, this, [this] {
    if (viewPending_) RefreshView();
  });
}

void MainDialog::StartWork(WorkKind kind, std::function<void()> work, std::function<void(bool stopped)> finish) {
  work_ = kind;
  finish_ = std::move(finish);
  const uint64_t id = ++workId_;
  UpdateCommandsEnabled();
  worker_.Start(std::move(work), [this, id](bool stopped) { Post([this, id, stopped] { WorkFinished(id, stopped); }); });
}

// Calls from the worker reach the window's thread through a list guarded by
// a mutex of our own, so that everything the worker did before a call is
// seen by the window's thread when it makes the call.
// Only one delivery is queued at a time: the event loop hands all queued
// events over in one batch, so one delivery per call would let a backlog of
// deliveries run back to back and hold the loop for as long as the backlog
// takes.
void MainDialog::Post(std::function<void()> call) {
  bool schedule = false;
  {
    std::lock_guard lock(mailMutex_);
    mail_.push_back(std::move(call));
    schedule = !mailScheduled_;
    mailScheduled_ = true;
  }
  if (schedule) QMetaObject::invokeMethod(this, [this] { DeliverMail(); }, Qt::QueuedConnection);
}

// A window that fell behind a busy worker catches up a slice at a time, so
// that other events are handled in between.
void MainDialog::DeliverMail() {
  constexpr qint64 kSliceMs = 10;
  QElapsedTimer slice;
  slice.start();
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard lock(mailMutex_);
      if (mail_.empty()) {
        mailScheduled_ = false;
        return;
      }
      if (slice.elapsed() >= kSliceMs) break;
      call = std::move(mail_.front());
      mail_.pop_front();
    }
    call();
  }
  QMetaObject::invokeMethod(this, [this] { DeliverMail(); }, Qt::QueuedConnection);
}

void MainDialog::WorkFinished(uint64_t id, bool stopped) {
  if (id != workId_ || work_ == WorkKind::None) return;
  work_ = WorkKind::None;
  std::function<void(bool)> finish = std::move(finish_);
  finish_ = nullptr;
  for (; waitCursors_ > 0; --waitCursors_) QApplication::restoreOverrideCursor();
  progressBar_->hide();
  cancelButton_->hide();
  if (finish) finish(stopped);
  // Commands and edits given while the work ran come after what it wrote.
  if (!waiting_.empty()) writtenReport_.clear();
  SetStatus();
  // What waited runs in order; a command that starts new work leaves the
  // rest waiting for that.
  bool ranSome = false;
  while (!waiting_.empty() && work_ == WorkKind::None) {
    std::function<void()> next = std::move(waiting_.front());
    waiting_.erase(waiting_.begin());
    next();
    ranSome = true;
  }
  UpdateCommandsEnabled();
  if (ranSome) userStopped_ = false;
  if (viewWanted_ && !userStopped_) Invalidate();
}

void MainDialog::CancelWork() {
  if (work_ == WorkKind::None) return;
  userStopped_ = true;
  worker_.RequestStop();
}

void MainDialog::FinishWork() {
  while (work_ != WorkKind::None || viewPending_ || !waiting_.empty())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents, 50);
}

void MainDialog::ChangeEngine(std::function<void()> change, ProductSet drops, int32_t r, int32_t view) {
  EndWrittenReport();
  if (work_ == WorkKind::None) {
    change();
    return;
  }
  waiting_.push_back(std::move(change));
  viewWanted_ = true;
  userStopped_ = false;
  if (work_ != WorkKind::View) return;
  const ProductSet making = engine_.Computing();
  if ((making & drops) != 0 || (making != 0 && (making & engine_.NeededFor(r, view)) == 0))
    worker_.RequestStop();
  else
    engine_.RequestYield();
}

void MainDialog::ViewChanged() {
  const int32_t r = role();
  ChangeEngine([] {}, 0, r, viewSelectors_[static_cast<size_t>(r)]->currentIndex());
  Invalidate();
}

void MainDialog::WhenIdle(std::function<void()> command) {
  EndWrittenReport();
  if (work_ == WorkKind::None) {
    command();
    return;
  }
  waiting_.push_back(std::move(command));
  if (work_ == WorkKind::View) worker_.RequestStop();
}

void MainDialog::UpdateCommandsEnabled() {
  const bool free = work_ != WorkKind::Task;
  for (QPushButton* button : {importButton_, removeButton_, toggleButton_})
    if (button) button->setEnabled(free);
  for (const char* text : {"Import...", "Delete", "New", "Open...", "Save", "Save as...", "Save processed",
                           "Save dark average", "Save flat average", "Save synthetic flat", "Colour processing"})
    if (QAction* a = action(QLatin1String(text))) a->setEnabled(free);
  if (cameraScaleAction_) cameraScaleAction_->setEnabled(free);
  if (brightestScaleAction_) brightestScaleAction_->setEnabled(free);
}

namespace {

// What the view work hands back.
struct ViewOutcome {
  RenderResult result;
  std::array<uint32_t, 256> histogram{};
  bool noMemory = false;
};

}  // namespace

void MainDialog::RefreshView() {
  viewPending_ = false;
  if (!imageView_) return;
  if (work_ != WorkKind::None) {
    viewWanted_ = true;
    return;
  }
  viewWanted_ = false;
  // LayOut keeps the view on the view frame moved in by 2, 6, 1 and 1.
  const QRect viewRect = imageView_->geometry();
  const QColor background = palette().color(QPalette::Dark);
  const int32_t r = role();
  const bool blinking = blink_ && r == static_cast<int32_t>(ListRole::Images);
  const int32_t view = blinking ? ImagesRaw : viewSelectors_[static_cast<size_t>(r)]->currentIndex();
  const uint8_t grey = greyOf(background);
  ViewOptions options;
  options.place = imageView_->place();
  options.stretch = displayStretch_ ? DisplayStretch::On : DisplayStretch::Off;
  options.keepPicture = true;
  // A blink and its return keep the entry's frames, so both show at once.
  options.blink = blinking || blinkShown_;
  blinkShown_ = blinking;
  auto outcome = std::make_shared<ViewOutcome>();
  engine_.ClearYield();
  StartWork(
      WorkKind::View,
      [this, outcome, r, view, viewRect, grey, options] {
        try {
          outcome->result =
              engine_.RenderView(r, view, viewRect.width(), viewRect.height(), grey, workBitmap_, options);
          if (outcome->result.picture) outcome->histogram = HistogramOf(*outcome->result.picture);
        } catch (const std::bad_alloc&) {
          outcome->noMemory = true;
        }
      },
      [this, outcome, r, view, background, options](bool) {
        if (outcome->noMemory) {
          // Nothing is shown rather than a half-made bitmap; the focused
          // entry is named, since its frame or the products made for it did
          // not fit.
          bitmap_ = Bitmap24();
          imageView_->setBitmap(nullptr, background);
          imageView_->update();
          const SourceList& list = engine_.list(static_cast<ListRole>(r));
          const ImageSource* focused = list.entry(list.focused);
          ReportNoMemory(focused ? displayPath(focused->path) : QStringLiteral("the view"));
          return;
        }
        // Stopped before it was painted: the view keeps its last picture
        // and is made again once the edits that stopped it are in.
        if (!outcome->result.complete) {
          if (!userStopped_) viewWanted_ = true;
          return;
        }
        std::swap(bitmap_, workBitmap_);
        if (outcome->result.viewChanged) ShowPageOf(r);
        imageView_->setBitmap(outcome->result.shown ? &bitmap_ : nullptr, background);
        imageView_->setPicture(outcome->result.picture, options.place);
        shownView_ = view;
        UpdateHistogram(outcome->histogram, r, view);
        imageView_->update();
      });
}

void MainDialog::SetDisplayStretch(bool on) {
  if (displayStretch_ == on) return;
  displayStretch_ = on;
  if (stretchAction_ && stretchAction_->isChecked() != on) stretchAction_->setChecked(on);
  RefreshView();
}

void MainDialog::SetBlink(bool held) {
  if (blink_ == held) return;
  blink_ = held;
  if (role() == static_cast<int32_t>(ListRole::Images)) RefreshView();
}

void MainDialog::ShowValuesAt(bool inside, int x, int y) {
  readout_.clear();
  // The engine is the worker's while work runs; the status line is too.
  if (work_ != WorkKind::None) return;
  if (inside) {
    const PixelValues values = engine_.ValueAt(role(), shownView_, x, y);
    if (values.channels > 0) readout_ = ValuesText(x, y, values).toStdString();
  }
  if (engine_.statusText() == "Ready") ShowStatus("Ready");
}

void MainDialog::UpdateHistogram(const std::array<uint32_t, 256>& counts, int32_t r, int32_t view) {
  HistogramWidget* histogram = imageView_->histogram();
  // The processed view's histogram shows the levels before the stretch,
  // with the levels the stretch takes to black and white marked; every
  // other view's shows the picture as painted.
  const bool processed = r == static_cast<int32_t>(ListRole::Images) && view == ImagesProcessed &&
                         engine_.product(kProcessedFrameBit);
  histogram->setCounts(processed ? engine_.ProcessedLevels() : counts);
  histogram->setBounds(processed ? engine_.ProcessedStretchBounds() : std::nullopt);
  const bool shown = std::any_of(counts.begin(), counts.end(), [](uint32_t n) { return n > 0; });
  histogram->setVisible(shown && histogramAction_ && histogramAction_->isChecked());
}

std::array<SettingsPage*, kRoleCount> MainDialog::pages() const { return {imagesPage_, flatsPage_, darksPage_}; }

void MainDialog::ShowPageOf(int32_t r) {
  const auto all = pages();
  if (r < 0 || r >= kRoleCount || !all[static_cast<size_t>(r)]) return;
  for (SettingsPage* page : all)
    if (page != all[static_cast<size_t>(r)]) page->hide();
  all[static_cast<size_t>(r)]->Load();
  all[static_cast<size_t>(r)]->show();
}

void MainDialog::LoadPagesFromSettings() {
  // Edits still waiting for their delay belong to the settings being
  // replaced.
  for (SettingsPage* page : pages()) page->TakeRefresh();
  imagesPage_->setFromSettings(engine_.settings().processing);
  flatsPage_->setFromSettings(engine_.settings().flat);
  darksPage_->setFromSettings(engine_.settings().dark);
  imagesPage_->Load();
  flatsPage_->Load();
  darksPage_->Load();
}

void MainDialog::UpdateMenuChecks() {
  const ProcessingGroup& p = engine_.settings().processing;
  colourAction_->setChecked(p.colour);
  cameraScaleAction_->setChecked(p.fitsScale == FitsScale::Camera);
  brightestScaleAction_->setChecked(p.fitsScale == FitsScale::BrightestPixel);
}

void MainDialog::UpdateTitle() { setWindowTitle(QString::fromStdString(projectTitle(projectPath_))); }

void MainDialog::SetViewSelectorSilently(QComboBox* selector, int index) {
  const QSignalBlocker blocker(selector);
  selector->setCurrentIndex(index);
}

void MainDialog::ResetRole() {
  {
    const QSignalBlocker blocker(roleSelector_);
    roleSelector_->setCurrentIndex(0);
  }
  for (QComboBox* selector : viewSelectors_) SetViewSelectorSilently(selector, 0);
  SwitchRole();
}

void MainDialog::SwitchRole() {
  const int r = roleSelector_->currentIndex();
  if (r < 0 || r >= kRoleCount) return;
  for (int i = 0; i < kRoleCount; ++i) {
    lists_[static_cast<size_t>(i)]->setVisible(i == r);
    viewSelectors_[static_cast<size_t>(i)]->setVisible(i == r);
  }
  ViewChanged();
}

void MainDialog::ListCurrentChanged(ListRole listRole, int row) {
  const int32_t r = role();
  ChangeEngine([this, listRole, row] { engine_.SetFocus(listRole, row); }, kRawFrameBit | kProcessedFrameBit,
               r, viewSelectors_[static_cast<size_t>(r)]->currentIndex());
  Invalidate();
}

void MainDialog::ImportFiles() {
  WhenIdle([this] {
    QStringList names =
        dialogs_.openFiles(this, QStringLiteral("Input file..."), importFilters(), StartFolder(FolderKind::Import));
    if (names.isEmpty()) return;
    RememberFolder(FolderKind::Import, names.first());
    // A numbered sequence is listed, and so exported, in the order of its
    // numbers.
    sortAsListed(names);
    StartImport(names);
  });
}

// Every file is read in the background, and the list changes only once all
// were read: a stopped import adds nothing.
void MainDialog::StartImport(const QStringList& names) {
  std::vector<std::string> paths;
  for (const QString& name : names) paths.push_back(localPath(name));
  auto probes = std::make_shared<std::vector<FileEntries>>();
  auto noMemory = std::make_shared<std::string>();
  StartWork(
      WorkKind::Task,
      [this, paths, probes, noMemory] {
        engine_.SetStatus("Reading files");
        for (size_t i = 0; i < paths.size() && !stopRequested(); ++i) {
          engine_.progress().Step(static_cast<int>(i + 1), static_cast<int>(paths.size()));
          try {
            probes->push_back(entriesOfFile(paths[i]));
          } catch (const std::bad_alloc&) {
            *noMemory = paths[i];
            probes->emplace_back();
          }
        }
      },
      [this, names, probes, noMemory](bool stopped) {
        if (!noMemory->empty()) ReportNoMemory(displayPath(*noMemory));
        if (stopped) return;
        FinishImport(names, *probes);
      });
}

void MainDialog::FinishImport(const QStringList& names, std::vector<FileEntries>& probes) {
  SourceListView* view = currentList();
  SourceListModel* model = view->sourceModel();
  int seen = 0;
  int alreadyLoaded = 0;
  int otherSize = 0;
  int firstAdded = -1;     // the row of the first entry added
  QStringList unreadable;  // "file: reason" of each file no reader can use, in the dialog's order

  for (qsizetype i = 0; i < names.size(); ++i) {
    ++seen;
    const QString& name = names[i];
    const std::string path = localPath(name);
    const SourceList& list = model->list();
    const bool loaded = std::any_of(list.entries.begin(), list.entries.end(),
                                    [&](const auto& entry) { return entry && entry->path == path; });
    if (loaded) {
      ++alreadyLoaded;
      continue;
    }
    FileEntries& probe = probes[static_cast<size_t>(i)];
    if (!probe) {
      // A file left unread by an allocation failure was reported already.
      if (!probe.why.empty()) unreadable.append(QStringLiteral("%1: %2").arg(name, QString::fromStdString(probe.why)));
      continue;
    }
    FrameSize size = engine_.frameSize();
    if (!admitFrameSize(size, probe.width, probe.height)) {
      ++otherSize;
      continue;
    }
    engine_.SetFrameSize(size);
    modified_ = true;
    if (firstAdded < 0) firstAdded = model->rowCount();
    model->append(std::move(probe.entries));
  }
  // The first file added ends selected and shown.
  if (firstAdded >= 0) view->selectOnly(firstAdded);

  if (alreadyLoaded > 0 || otherSize > 0) {
    QString text;
    if (seen == 1) {
      text = otherSize > 0 ? QStringLiteral("File is a different size from current images.")
                           : QStringLiteral("File is already loaded.");
    } else {
      QStringList lines;
      if (otherSize > 0) lines << countedLine(otherSize, "a different size from current images.");
      if (alreadyLoaded > 0) lines << countedLine(alreadyLoaded, "already loaded.");
      text = lines.join(QLatin1Char('\n'));
    }
    dialogs_.message(this, text, QLatin1String(kImportFailureCaption), MessageButtons::Ok, MessageIcon::None);
  }
  if (!unreadable.isEmpty())
    dialogs_.message(this,
                     QStringLiteral("These files could not be read and were not imported:\n%1")
                         .arg(unreadable.join(QLatin1Char('\n'))),
                     QLatin1String(kImportFailureCaption), MessageButtons::Ok, MessageIcon::Warning);
  if (role() != static_cast<int32_t>(ListRole::Images)) SetViewSelectorSilently(currentViewSelector(), 0);
  Invalidate();
}

void MainDialog::RemoveSelected() {
  WhenIdle([this] {
  SourceListView* view = currentList();
  SourceListModel* model = view->sourceModel();
  auto release = [&](int row, int count) {
    model->remove(row, count);
    modified_ = true;
  };
  for (std::vector<int> selected = view->selectedRows(); !selected.empty(); selected = view->selectedRows()) {
    const int row = selected.front();
    const ImageSource* entry = model->entry(row);
    if (!entry || entry->frameCode < 0) {
      release(row, 1);
      continue;
    }
    // One frame of a video stands for the whole file; its frames are removed
    // run by run, so a long video goes in one step.
    const std::string path = entry->path;
    for (int end = model->rowCount(); end > 0;) {
      if (!model->entry(end - 1) || model->entry(end - 1)->path != path) {
        --end;
        continue;
      }
      int start = end - 1;
      while (start > 0 && model->entry(start - 1) && model->entry(start - 1)->path == path) --start;
      release(start, end - start);
      end = start;
    }
  }
  if (role() != static_cast<int32_t>(ListRole::Images)) SetViewSelectorSilently(currentViewSelector(), 0);
  Invalidate();
  view->selectOnly(0);
  });
}

void MainDialog::ToggleSelected(ListRole listRole) {
  WhenIdle([this, listRole] {
  SourceListView* view = lists_[index(listRole)];
  SourceListModel* model = view->sourceModel();
  const std::vector<int> selected = view->selectedRows();
  if (!selected.empty()) {
    // The first selected entry decides, so a mixed selection becomes uniform.
    const bool enable = !model->entry(selected.front())->enabled;
    for (int row : selected) model->setEnabled(row, enable);
    modified_ = true;
  }
  Invalidate();
  });
}

void MainDialog::FlipAtSelectionMark() {
  WhenIdle([this] {
    SourceListView* view = currentList();
    const QModelIndex mark = view->currentIndex();
    if (!mark.isValid()) return;
    SourceListModel* model = view->sourceModel();
    model->setEnabled(mark.row(), !model->entry(mark.row())->enabled);
    modified_ = true;
    Invalidate();
  });
}

void MainDialog::ToggleColourProcessing() {
  WhenIdle([this] {
    engine_.ToggleColour();
    modified_ = true;
    UpdateMenuChecks();
    Invalidate();
  });
}

// Every frame and product is read again on the new scale at the next paint.
void MainDialog::SetFitsScale(FitsScale scale) {
  WhenIdle([this, scale] {
    if (engine_.settings().processing.fitsScale == scale) return;
    engine_.SetFitsScale(scale);
    modified_ = true;
    UpdateMenuChecks();
    Invalidate();
  });
}

// A page's values reach the engine once no work runs; what is being made
// goes on unless they make it stale.
void MainDialog::ApplyImagesPage() {
  const ProcessingGroup values = imagesPage_->values();
  ChangeEngine(
      [this, values] {
        const ProcessingGroup before = engine_.settings().processing;
        engine_.ApplyImagesSettings(values);
        if (fieldsOf(before) != fieldsOf(engine_.settings().processing)) modified_ = true;
      },
      kProcessedFrameBit, static_cast<int32_t>(ListRole::Images), ImagesProcessed);
  viewSelectors_[index(ListRole::Images)]->setCurrentIndex(ImagesProcessed);
  Invalidate();
}

void MainDialog::ApplyFlatsPage() {
  const FlatGroup values = flatsPage_->values();
  const int32_t r = role();
  ChangeEngine(
      [this, values] {
        const FlatGroup before = engine_.settings().flat;
        engine_.ApplyFlatsSettings(values);
        if (fieldsOf(before) != fieldsOf(engine_.settings().flat)) modified_ = true;
      },
      kGradientMapBit | kSyntheticFlatBit | kProcessedFrameBit |
          (values.combine.sameMaster(engine_.settings().flat.combine) ? ProductSet{0} : ProductSet{kMasterFlatBit}),
      r, viewSelectors_[static_cast<size_t>(r)]->currentIndex());
  Invalidate();
}

void MainDialog::ApplyDarksPage() {
  const DarkGroup values = darksPage_->values();
  const int32_t r = role();
  ChangeEngine(
      [this, values] {
        const DarkGroup before = engine_.settings().dark;
        engine_.ApplyDarksSettings(values);
        if (fieldsOf(before) != fieldsOf(engine_.settings().dark)) modified_ = true;
      },
      kHotPixelMapBit | kProcessedFrameBit |
          (values.combine.sameMaster(engine_.settings().dark.combine) ? ProductSet{0} : ProductSet{kMasterDarkBit}),
      r, viewSelectors_[static_cast<size_t>(r)]->currentIndex());
  Invalidate();
}

}  // namespace stelp
