#include "app/dialogs.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QGridLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPolygonF>
#include <QPushButton>
#include <QRadioButton>
#include <QSpacerItem>
#include <QTreeView>
#include <QUrl>
#include <QValidator>
#include <algorithm>
#include <array>
#include <limits>

#include "app/dialog_units.h"

namespace stelp {

namespace {

// The icon is drawn on a 256-unit square and scaled to each size; data/stelp.svg
// holds the same drawing for the desktop.
constexpr double kIconDesignSize = 256.0;
constexpr std::array<int, 5> kIconSizes = {16, 32, 48, 64, 256};

void drawIcon(QPainter& painter, int size) {
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / kIconDesignSize, size / kIconDesignSize);

  // The night sky: a dark-blue disc with a lighter rim.
  painter.setPen(QPen(QColor(0x4a, 0x6c, 0xc4), 8));
  painter.setBrush(QColor(0x14, 0x24, 0x5a));
  painter.drawEllipse(QPointF(128, 128), 118, 118);

  // One bright four-pointed star and three faint ones.
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::white);
  const QPointF star(150, 105);
  constexpr double arm = 60;
  constexpr double waist = 12;
  const QPolygonF points = {
      star + QPointF(0, -arm),     star + QPointF(waist, -waist), star + QPointF(arm, 0),
      star + QPointF(waist, waist), star + QPointF(0, arm),        star + QPointF(-waist, waist),
      star + QPointF(-arm, 0),     star + QPointF(-waist, -waist),
  };
  painter.drawPolygon(points);
  painter.drawEllipse(QPointF(80, 160), 10, 10);
  painter.drawEllipse(QPointF(176, 190), 7, 7);
  painter.drawEllipse(QPointF(90, 82), 6, 6);
}

// Places a static text at its rectangle in dialog units, widened to the
// text's own width where the font in use needs more room, so no text is cut
// off.
QLabel* addLabel(QWidget* parent, const DialogUnits& units, const QString& text, QRect design) {
  auto* label = new QLabel(text, parent);
  QRect rect = units.rect(design.x(), design.y(), design.width(), design.height());
  rect.setWidth(std::max(rect.width(), label->sizeHint().width()));
  label->setGeometry(rect);
  return label;
}

// The program's icon at its rectangle in dialog units.
QLabel* addIcon(QWidget* parent, const DialogUnits& units, QRect design) {
  const QRect rect = units.rect(design.x(), design.y(), design.width(), design.height());
  auto* label = new QLabel(parent);
  label->setGeometry(rect);
  label->setPixmap(appIcon().pixmap(std::min(rect.width(), rect.height())));
  return label;
}

QPushButton* addButton(QDialog* parent, const DialogUnits& units, const QString& text, QRect design) {
  auto* button = new QPushButton(text, parent);
  button->setGeometry(units.rect(design.x(), design.y(), design.width(), design.height()));
  return button;
}

void fixSize(QDialog* dialog, const DialogUnits& units, int width, int height) {
  dialog->setFixedSize(units.x(width), units.y(height));
}

// Digits only, and nothing that does not fit in 32 bits; an empty field is
// not yet acceptable, so "OK" stays disabled until a number is typed.
class UInt32Validator : public QValidator {
 public:
  explicit UInt32Validator(QObject* parent) : QValidator(parent) {}

  State validate(QString& input, int& /*pos*/) const override {
    if (input.isEmpty()) return Intermediate;
    for (const QChar c : input) {
      if (c < QLatin1Char('0') || c > QLatin1Char('9')) return Invalid;
    }
    bool ok = false;
    const qulonglong value = input.toULongLong(&ok);
    if (!ok || value > std::numeric_limits<uint32_t>::max()) return Invalid;
    return Acceptable;
  }
};

QStringList qtFilterList(const std::vector<FileFilter>& filters) {
  QStringList list;
  for (const FileFilter& filter : filters) list.append(qtFilterText(filter));
  return list;
}

// Qt's dialog shows no text cut short: the list of file types is as wide
// as its longest entry (the dialog widens to hold it), and the detail view's
// size, type and date columns as wide as their texts, the name taking the
// rest.
void showWholeTexts(QFileDialog& dialog) {
  if (auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo")))
    types->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  auto* details = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
  if (!details) return;
  QHeaderView* header = details->header();
  header->setSectionResizeMode(0, QHeaderView::Stretch);
  for (int column = 1; column < header->count(); ++column)
    header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
}

// Shows the request's title, types, chosen type, name and default suffix.
void configureFileDialog(QFileDialog& dialog, const FileRequest& request) {
  dialog.setWindowTitle(request.title);
  const QStringList filters = qtFilterList(request.filters);
  dialog.setNameFilters(filters);
  showWholeTexts(dialog);
  if (!filters.isEmpty()) {
    const bool inRange = request.filterIndex >= 1 && request.filterIndex <= filters.size();
    dialog.selectNameFilter(filters.at(inRange ? request.filterIndex - 1 : 0));
  }
  dialog.setDefaultSuffix(request.defaultSuffix);
  if (request.initialPath.isEmpty()) return;
  const QFileInfo info(request.initialPath);
  if (info.isDir()) {
    dialog.setDirectory(info.absoluteFilePath());
    return;
  }
  if (info.dir().exists()) dialog.setDirectory(info.absolutePath());
  dialog.selectFile(info.fileName());
}

// Runs a configured dialog; on acceptance the chosen type goes back into the
// request as a 1-based index.
std::optional<QString> runFileDialog(QFileDialog& dialog, FileRequest& request) {
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  const int chosen = qtFilterList(request.filters).indexOf(dialog.selectedNameFilter());
  if (chosen >= 0) request.filterIndex = chosen + 1;
  return files.first();
}

}  // namespace

QIcon appIcon() {
  QIcon icon;
  for (const int size : kIconSizes) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    drawIcon(painter, size);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Stelp"));
  setWindowIcon(appIcon());
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const DialogUnits units(font());
  fixSize(this, units, 166, 53);

  addIcon(this, units, {11, 10, 20, 20});
  const QLabel* name = addLabel(this, units, QStringLiteral("Stelp Version"), {40, 10, 42, 8});
  QLabel* version = addLabel(this, units, QString::fromLatin1(kVersionText), {84, 10, 15, 8});
  version->setObjectName(QStringLiteral("version"));
  // The number follows the name even when the name came out wider.
  version->move(std::max(version->x(), name->geometry().right() + units.x(2)), version->y());
  addLabel(this, units, QStringLiteral("Astro image calibration"), {40, 22, 100, 8});
  addLabel(this, units, QStringLiteral("Made for amateur astronomers"), {10, 35, 119, 8});

  QPushButton* ok = addButton(this, units, QStringLiteral("OK"), {109, 7, 50, 14});
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

WelcomeDialog::WelcomeDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Stelp - Welcome"));
  setWindowIcon(appIcon());
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const DialogUnits units(font());
  fixSize(this, units, 240, 150);

  addIcon(this, units, {10, 10, 20, 20});
  addLabel(this, units, QStringLiteral("Welcome to Stelp!"), {40, 10, 190, 8});
  addLabel(this, units, QStringLiteral("Darks and flats in, clean frames out."), {40, 20, 190, 8});

  // The framed text: one static text per line, in the frame's own coordinates.
  auto* frame = new QFrame(this);
  frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  frame->setGeometry(units.rect(10, 36, 220, 84));
  const std::array<const char*, 7> lines = {
      "This program is provided free of charge. However",
      "if you find it useful and would like to encourage",
      "me to produce more utility software like Stelp, ",
      "you can make an online donation - a few pounds,",
      "euros, dollars, whatever - by selecting the menu ",
      "option Help->Payment.",
      "Thank you for your support!",
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    addLabel(frame, units, QString::fromLatin1(lines[i]), {8, 6 + 10 * static_cast<int>(i), 204, 8});
  }

  QPushButton* ok = addButton(this, units, QStringLiteral("OK"), {95, 128, 50, 14});
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

ReminderDialog::ReminderDialog(int32_t launchCounter, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Stelp"));
  setWindowIcon(appIcon());
  // Only a title bar: the window manager is asked not to offer a close box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  const DialogUnits units(font());
  fixSize(this, units, 240, 150);

  addIcon(this, units, {10, 10, 20, 20});
  addLabel(this, units, QString::fromStdString(occasionsText(launchCounter)), {40, 10, 190, 8});
  addLabel(this, units, QStringLiteral("Stelp costs nothing to use. If it has earned"), {40, 24, 190, 8});
  addLabel(this, units, QStringLiteral("a place in your workflow, please think about a"), {40, 34, 190, 8});
  addLabel(this, units, QStringLiteral("small online donation through its web site:"), {40, 44, 190, 8});
  addLabel(this, units, QString::fromLatin1(kWebsiteUrl), {40, 56, 190, 8})
      ->setTextInteractionFlags(Qt::TextSelectableByMouse);

  // Buttons are told apart by their ReminderChoice value, both as group id
  // and as object name.
  struct Choice {
    ReminderChoice id;
    const char* label;
  };
  const std::array<Choice, 4> choices = {{
      {ReminderChoice::VisitWebsite, "Visit the website now"},
      {ReminderChoice::RemindLater, "Please remind me again later"},
      {ReminderChoice::AlreadyDonated, "I've already made a donation"},
      {ReminderChoice::NoDonation, "I don't want to make a donation"},
  }};
  group_ = new QButtonGroup(this);
  for (size_t i = 0; i < choices.size(); ++i) {
    const int id = static_cast<int>(choices[i].id);
    auto* radio = new QRadioButton(QString::fromLatin1(choices[i].label), this);
    radio->setObjectName(QString::number(id));
    radio->setGeometry(units.rect(40, 70 + 12 * static_cast<int>(i), 190, 10));
    group_->addButton(radio, id);
  }

  ok_ = addButton(this, units, QStringLiteral("OK"), {95, 128, 50, 14});
  ok_->setDefault(true);
  ok_->setEnabled(false);
  connect(group_, &QButtonGroup::idClicked, ok_, [this] { ok_->setEnabled(true); });
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

ReminderChoice ReminderDialog::choice() const {
  // "OK" cannot be pressed without a choice; asking earlier gets the answer
  // that changes least.
  const int id = group_->checkedId();
  if (id < 0) return ReminderChoice::RemindLater;
  return static_cast<ReminderChoice>(id);
}

void ReminderDialog::reject() {}

void ReminderDialog::closeEvent(QCloseEvent* event) { event->ignore(); }

SequenceDialog::SequenceDialog(uint32_t initialNumber, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Save file sequence"));
  setWindowIcon(appIcon());
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const DialogUnits units(font());
  fixSize(this, units, 180, 66);

  addLabel(this, units, QStringLiteral("Sequential filenames will be"), {10, 10, 110, 8});
  addLabel(this, units, QStringLiteral("automatically generated."), {10, 20, 110, 8});
  addLabel(this, units, QStringLiteral("e.g. Processed_001.bmp"), {10, 30, 110, 8});
  QLabel* label = addLabel(this, units, QStringLiteral("Initial number:"), {10, 46, 52, 8});

  edit_ = new QLineEdit(QString::number(initialNumber), this);
  edit_->setGeometry(units.rect(64, 44, 56, 12));
  edit_->setValidator(new UInt32Validator(edit_));
  label->setBuddy(edit_);

  QPushButton* ok = addButton(this, units, QStringLiteral("OK"), {124, 7, 50, 14});
  ok->setDefault(true);
  QPushButton* cancel = addButton(this, units, QStringLiteral("Cancel"), {124, 24, 50, 14});
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(edit_, &QLineEdit::textChanged, ok, [this, ok] { ok->setEnabled(edit_->hasAcceptableInput()); });
}

uint32_t SequenceDialog::initialNumber() const {
  bool ok = false;
  const qulonglong value = edit_->text().toULongLong(&ok);
  if (!ok || value > std::numeric_limits<uint32_t>::max()) return 0;
  return static_cast<uint32_t>(value);
}

QStringList QtDialogHost::openFiles(QWidget* owner, const QString& title, const std::vector<FileFilter>& filters,
                                   const QString& folder) {
  QFileDialog dialog(owner, title, folder);
  const QStringList list = qtFilterList(filters);
  dialog.setNameFilters(list);
  showWholeTexts(dialog);
  if (!list.isEmpty()) dialog.selectNameFilter(list.first());
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles();
}

std::optional<QString> QtDialogHost::openFile(QWidget* owner, FileRequest& request) {
  QFileDialog dialog(owner);
  configureFileDialog(dialog, request);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  return runFileDialog(dialog, request);
}

std::optional<QString> QtDialogHost::saveFile(QWidget* owner, FileRequest& request) {
  QFileDialog dialog(owner);
  configureFileDialog(dialog, request);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
  return runFileDialog(dialog, request);
}

MessageAnswer QtDialogHost::message(QWidget* owner, const QString& text, const QString& caption,
                                    MessageButtons buttons, MessageIcon icon) {
  const QMessageBox::Icon boxIcon = icon == MessageIcon::None ? QMessageBox::NoIcon : QMessageBox::Warning;
  QMessageBox::StandardButtons boxButtons = QMessageBox::Ok;
  if (buttons == MessageButtons::YesNo) boxButtons = QMessageBox::Yes | QMessageBox::No;
  if (buttons == MessageButtons::SaveDiscardCancel)
    boxButtons = QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel;
  QMessageBox box(boxIcon, caption, text, boxButtons, owner);
  // A box sized for a short text would leave the window manager's title bar
  // too narrow for the caption beside its icon and buttons: the box is made
  // wide enough for the caption in bold with room for those.
  QFont bold = box.font();
  bold.setBold(true);
  const QFontMetrics captionMetrics(bold);
  const int titleBarExtra = 8 * captionMetrics.height();
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(captionMetrics.horizontalAdvance(caption) + titleBarExtra, 0),
                  grid->rowCount(), 0, 1, grid->columnCount());
  if (buttons == MessageButtons::SaveDiscardCancel) {
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
  }
  switch (box.exec()) {
    case QMessageBox::Yes: return MessageAnswer::Yes;
    case QMessageBox::No: return MessageAnswer::No;
    case QMessageBox::Save: return MessageAnswer::Save;
    case QMessageBox::Discard: return MessageAnswer::Discard;
    case QMessageBox::Cancel: return MessageAnswer::Cancel;
    default: break;
  }
  // A box closed by its title bar answers as its escape button would.
  return buttons == MessageButtons::SaveDiscardCancel ? MessageAnswer::Cancel : MessageAnswer::Ok;
}

std::optional<uint32_t> QtDialogHost::sequenceNumber(QWidget* owner, uint32_t initialNumber) {
  SequenceDialog dialog(initialNumber, owner);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.initialNumber();
}

void QtDialogHost::about(QWidget* owner) {
  AboutDialog dialog(owner);
  dialog.exec();
}

void QtDialogHost::welcome(QWidget* owner) {
  WelcomeDialog dialog(owner);
  dialog.exec();
}

ReminderChoice QtDialogHost::reminder(QWidget* owner, int32_t launchCounter) {
  ReminderDialog dialog(launchCounter, owner);
  dialog.exec();
  return dialog.choice();
}

void QtDialogHost::openUrl(const QString& url) { QDesktopServices::openUrl(QUrl(url)); }

QString qtFilterText(const FileFilter& filter) {
  // A label's own list of extensions in parentheses gives way to the
  // patterns: Qt shows those, and both would say the same twice.
  QString label = filter.label;
  const qsizetype open = label.lastIndexOf(QLatin1Char('('));
  if (label.endsWith(QLatin1Char(')')) && open > 0) label = label.left(open).trimmed();
  QString patterns = filter.patterns;
  patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
  return label + QStringLiteral(" (") + patterns + QLatin1Char(')');
}

}  // namespace stelp
