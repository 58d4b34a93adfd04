#include "app/settings_pages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QScopedValueRollback>
#include <QStringList>
#include <array>
#include <charconv>
#include <algorithm>
#include <limits>
#include <utility>

#include "engine/setting_ranges.h"

namespace stelp {

namespace {

// The size of every page, in dialog units.
constexpr int kPageWidth = 107;
constexpr int kPageHeight = 92;

// The Flats and Darks pages: labels at x 7, edits of 40 x 14 at x 55.
constexpr int kLabelX = 7;
constexpr int kLabelWidth = 46;
constexpr int kLabelHeight = 8;
constexpr int kEditX = 55;
constexpr int kEditWidth = 40;
constexpr int kEditHeight = 14;

enum class Entry { AnyText, DigitsOnly };

// One label and its edit on the Flats or Darks page.
struct EditRow {
  const char* label;
  int labelY;
  int editY;
  const char* name;
  Entry entry;
};

// The white space that " %d" and " %f" skip in the C locale.
bool isBlank(char16_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isDigit(char16_t c) { return c >= '0' && c <= '9'; }

void shapePage(QFrame* page, const DialogUnits& units) {
  page->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  page->setFixedSize(units.x(kPageWidth), units.y(kPageHeight));
}

QLabel* addLabel(QWidget* page, const QString& text, QRect rect) {
  auto* label = new QLabel(text, page);
  label->setGeometry(rect);
  return label;
}

QCheckBox* addCheck(QWidget* page, const char* name, const QString& text, QRect rect) {
  auto* check = new QCheckBox(text, page);
  check->setObjectName(QLatin1String(name));
  // A font wider than the one the layout was made for gets the room its
  // text needs.
  rect.setWidth(std::max(rect.width(), check->sizeHint().width()));
  check->setGeometry(rect);
  return check;
}

QLineEdit* addEdit(QWidget* page, const char* name, QRect rect, Entry entry) {
  auto* edit = new QLineEdit(page);
  edit->setObjectName(QLatin1String(name));
  edit->setGeometry(rect);
  if (entry == Entry::DigitsOnly) {
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  }
  return edit;
}

// The layout gives a drop-down list the height of its opened list; the
// closed box keeps the height the style asks for.
QComboBox* addList(QWidget* page, const DialogUnits& units, const char* name, const QStringList& items,
                   int x, int y, int width) {
  auto* list = new QComboBox(page);
  list->setObjectName(QLatin1String(name));
  list->addItems(items);
  list->setGeometry(units.x(x), units.y(y), units.x(width), list->sizeHint().height());
  return list;
}

// Builds the rows of a Flats or Darks page into `edits`.
template <size_t N>
void addRows(QWidget* page, const DialogUnits& units, const std::array<EditRow, N>& rows,
             QLineEdit* (&edits)[N]) {
  // The edits stand right of the widest label, so no label is cut short
  // in a font wider than the one the layout was made for.
  const QFontMetrics metrics(page->font());
  int labelWidth = units.x(kLabelWidth);
  for (const EditRow& row : rows) labelWidth = std::max(labelWidth, metrics.horizontalAdvance(QLatin1String(row.label)) + 4);
  const int editWidth = units.x(kEditWidth);
  const int editX = std::min(std::max(units.x(kEditX), units.x(kLabelX) + labelWidth),
                             units.x(kPageWidth) - editWidth - 4);
  for (size_t i = 0; i < N; ++i) {
    const EditRow& row = rows[i];
    addLabel(page, QString::fromLatin1(row.label),
             QRect(units.x(kLabelX), units.y(row.labelY), editX - units.x(kLabelX), units.y(kLabelHeight)));
    edits[i] = addEdit(page, row.name, QRect(editX, units.y(row.editY), editWidth, units.y(kEditHeight)), row.entry);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Number fields

int32_t parseIntField(const QString& text) {
  qsizetype i = 0;
  const qsizetype n = text.size();
  while (i < n && isBlank(text[i].unicode())) ++i;
  bool negative = false;
  if (i < n && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  // Accumulate the magnitude with a cap just past the int32 range, so that
  // any number of digits saturates instead of overflowing.
  constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < n && isDigit(text[i].unicode()); ++i) {
    magnitude = std::min(kCap, magnitude * 10 + (text[i].unicode() - '0'));
  }
  const int64_t value = negative ? -magnitude : magnitude;
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

float parseFloatField(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  const char* first = bytes.constData();
  const char* last = first + bytes.size();
  while (first != last && isBlank(static_cast<unsigned char>(*first))) ++first;
  // from_chars takes a '-' but no '+'; a '+' may not be followed by another sign.
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return 0.0f;
  }
  float value = 0.0f;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error == std::errc()) return value;
  if (error != std::errc::result_out_of_range) return 0.0f;
  // Too large for a float becomes an infinity, too small rounds toward 0,
  // as the C library's conversion does.
  double wide = 0.0;
  if (std::from_chars(first, last, wide).ec != std::errc()) return 0.0f;
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (wide > std::numeric_limits<float>::max()) return kInfinity;
  if (wide < -std::numeric_limits<float>::max()) return -kInfinity;
  return static_cast<float>(wide);
}

QString formatFloatField(float value) {
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return QString::fromLatin1(buffer.data(), result.ptr - buffer.data());
}

// ---------------------------------------------------------------------------
// SettingsPage

SettingsPage::SettingsPage(QWidget* parent) : QFrame(parent) {
  timer_.setSingleShot(true);
  timer_.setInterval(kRefreshDelayMs);
  // Fires once per burst of edits; the receiver handles the command before
  // the page goes on.
  connect(&timer_, &QTimer::timeout, this, &SettingsPage::command);
}

SettingsPage::~SettingsPage() {
  // An edit that loses the focus while the widgets are torn down finishes
  // its editing; by then there is no page left to hear of it.
  for (QWidget* child : findChildren<QWidget*>()) child->disconnect(this);
}

void SettingsPage::Load() {
  const QScopedValueRollback<bool> guard(loading_, true);
  loadControls();
}

void SettingsPage::Store() { storeControls(); }

void SettingsPage::RestartRefreshTimer() {
  Store();
  timer_.start(kRefreshDelayMs);
}

bool SettingsPage::TakeRefresh() {
  const bool pending = timer_.isActive();
  timer_.stop();
  return pending;
}

void SettingsPage::edited() {
  if (loading_) return;
  RestartRefreshTimer();
}

// ---------------------------------------------------------------------------
// ImagesPage

ImagesPage::ImagesPage(const DialogUnits& units, QWidget* parent) : SettingsPage(parent) {
  setObjectName(QStringLiteral("imagesPage"));
  shapePage(this, units);
  darkCheck_ = addCheck(this, "dark", QStringLiteral("Dark subtraction"), units.rect(7, 8, 68, 10));
  flatCheck_ = addCheck(this, "flats", QStringLiteral("Flats"), units.rect(7, 24, 31, 10));
  synFlatCheck_ = addCheck(this, "synthetic", QStringLiteral("Synthetic"), units.rect(48, 24, 45, 10));
  hotCheck_ = addCheck(this, "hot", QStringLiteral("Hot pixel removal"), units.rect(7, 40, 70, 10));
  fromEdit_ = addEdit(this, "stretchFrom", units.rect(7, 56, 18, 12), Entry::AnyText);
  addLabel(this, QStringLiteral("-"), units.rect(27, 58, 8, 8));
  toEdit_ = addEdit(this, "stretchTo", units.rect(32, 56, 18, 12), Entry::AnyText);
  stretchList_ = addList(this, units, "stretch",
                         {QStringLiteral("No stretch"), QStringLiteral("% stretch"), QStringLiteral("pix stretch")},
                         52, 56, 48);
  deInterlaceList_ = addList(this, units, "deInterlace",
                             {QStringLiteral("No de-interlacing"), QStringLiteral("Light vertical blur"),
                              QStringLiteral("Strong vertical blur"), QStringLiteral("Odd/even histog. eq.")},
                             7, 73, 93);

  connect(darkCheck_, &QCheckBox::clicked, this, &ImagesPage::edited);
  connect(hotCheck_, &QCheckBox::clicked, this, &ImagesPage::edited);
  // Dividing by the synthetic flat is a kind of flat division, so
  // "Synthetic" is never on without "Flats".
  connect(flatCheck_, &QCheckBox::clicked, this, [this](bool checked) {
    if (!checked) synFlatCheck_->setChecked(false);
    edited();
  });
  connect(synFlatCheck_, &QCheckBox::clicked, this, [this](bool checked) {
    if (checked) flatCheck_->setChecked(true);
    edited();
  });
  connect(fromEdit_, &QLineEdit::textChanged, this, &ImagesPage::edited);
  connect(toEdit_, &QLineEdit::textChanged, this, &ImagesPage::edited);
  // A finished bound shows what the page keeps: within the mode's range,
  // the lower bound first.
  for (QLineEdit* edit : {fromEdit_, toEdit_})
    connect(edit, &QLineEdit::editingFinished, this, [this] {
      if (loading()) return;
      Store();
      if (stretchFromRel > stretchToRel) std::swap(stretchFromRel, stretchToRel);
      if (stretchFromAbs > stretchToAbs) std::swap(stretchFromAbs, stretchToAbs);
      Load();
    });
  connect(deInterlaceList_, &QComboBox::activated, this, &ImagesPage::edited);
  // A new stretch mode brings back the bounds last used with it.
  connect(stretchList_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (loading()) return;
    stretch = index;
    Load();
    RestartRefreshTimer();
  });
}

void ImagesPage::setFromSettings(const ProcessingGroup& settings) {
  dark = settings.dark ? 1 : 0;
  flat = settings.flat ? 1 : 0;
  synFlat = settings.synFlat ? 1 : 0;
  hot = settings.hot ? 1 : 0;
  stretch = settings.stretch;
  stretchFromRel = settings.stretchFromRel;
  stretchToRel = settings.stretchToRel;
  stretchFromAbs = settings.stretchFromAbs;
  stretchToAbs = settings.stretchToAbs;
  deInterlace = settings.deInterlace;
}

ProcessingGroup ImagesPage::values() const {
  ProcessingGroup result;
  result.dark = dark != 0;
  result.flat = flat != 0;
  result.hot = hot != 0;
  result.synFlat = synFlat != 0;
  result.stretch = stretch;
  // The engine gets each pair in order, even while a bound is being typed.
  result.stretchFromRel = std::min(stretchFromRel, stretchToRel);
  result.stretchToRel = std::max(stretchFromRel, stretchToRel);
  result.stretchFromAbs = std::min(stretchFromAbs, stretchToAbs);
  result.stretchToAbs = std::max(stretchFromAbs, stretchToAbs);
  result.deInterlace = deInterlace;
  return result;
}

void ImagesPage::loadControls() {
  // The two edits show the pair of the current mode; without a stretch they
  // show the full range, greyed.
  switch (stretch) {
    case 0:
      stretchFrom = 0.0f;
      stretchTo = 255.0f;
      break;
    case 1:
      stretchFrom = stretchFromRel;
      stretchTo = stretchToRel;
      break;
    case 2:
      stretchFrom = stretchFromAbs;
      stretchTo = stretchToAbs;
      break;
    default:
      break;
  }
  if (stretch >= 0 && stretch <= 2) {
    fromEdit_->setEnabled(stretch != 0);
    toEdit_->setEnabled(stretch != 0);
  }
  darkCheck_->setChecked(dark != 0);
  flatCheck_->setChecked(flat != 0);
  synFlatCheck_->setChecked(synFlat != 0);
  hotCheck_->setChecked(hot != 0);
  toEdit_->setText(formatFloatField(stretchTo));
  deInterlaceList_->setCurrentIndex(deInterlace);
  fromEdit_->setText(formatFloatField(stretchFrom));
  stretchList_->setCurrentIndex(stretch);
}

void ImagesPage::storeControls() {
  stretchFrom = parseFloatField(fromEdit_->text());
  stretchTo = parseFloatField(toEdit_->text());
  dark = darkCheck_->isChecked() ? 1 : 0;
  flat = flatCheck_->isChecked() ? 1 : 0;
  synFlat = synFlatCheck_->isChecked() ? 1 : 0;
  hot = hotCheck_->isChecked() ? 1 : 0;
  stretch = stretchList_->currentIndex();
  deInterlace = deInterlaceList_->currentIndex();
  // The working pair is remembered as the pair of its mode.
  switch (stretch) {
    case 0:
      fromEdit_->setEnabled(false);
      toEdit_->setEnabled(false);
      break;
    case 1:
      fromEdit_->setEnabled(true);
      toEdit_->setEnabled(true);
      stretchFromRel = stretchFrom = kStretchPercentRange.clamp(stretchFrom);
      stretchToRel = stretchTo = kStretchPercentRange.clamp(stretchTo);
      break;
    case 2:
      fromEdit_->setEnabled(true);
      toEdit_->setEnabled(true);
      stretchFromAbs = stretchFrom = kStretchLevelRange.clamp(stretchFrom);
      stretchToAbs = stretchTo = kStretchLevelRange.clamp(stretchTo);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// FlatsPage

namespace {

constexpr std::array<EditRow, 5> kFlatsRows = {{
    {"Filter width", 10, 7, "filterWidth", Entry::DigitsOnly},
    {"Filter height", 26, 23, "filterHeight", Entry::AnyText},
    {"Variation +", 42, 39, "varHi", Entry::DigitsOnly},
    {"Variation -", 58, 55, "varLo", Entry::DigitsOnly},
    {"Image border", 74, 71, "border", Entry::AnyText},
}};

// The fields of the rows above, and the order in which they are read:
// width, height, lower variation, upper variation, border.
constexpr std::array<int32_t FlatsPage::*, 5> kFlatsFields = {
    &FlatsPage::filterWidth, &FlatsPage::filterHeight, &FlatsPage::varHi, &FlatsPage::varLo, &FlatsPage::border};
constexpr std::array<size_t, 5> kFlatsStoreOrder = {0, 1, 3, 2, 4};
constexpr std::array<SettingRange<int32_t>, 5> kFlatsRanges = {kFilterSizeRange, kFilterSizeRange, kVariationRange,
                                                               kVariationRange, kBorderRange};

constexpr std::array<EditRow, 3> kDarksRows = {{
    {"Hot pixel level", 9, 7, "hotLevel", Entry::AnyText},
    {"Cold pixel level", 26, 23, "coldLevel", Entry::AnyText},
    {"Expansion", 43, 40, "expand", Entry::AnyText},
}};

constexpr std::array<int32_t DarksPage::*, 3> kDarksFields = {&DarksPage::hot, &DarksPage::cold,
                                                              &DarksPage::expand};
constexpr SettingRange<int32_t> kDarkLevelFieldRange{static_cast<int32_t>(kDarkLevelRange.lowest),
                                                     static_cast<int32_t>(kDarkLevelRange.highest)};
constexpr std::array<SettingRange<int32_t>, 3> kDarksRanges = {kDarkLevelFieldRange, kDarkLevelFieldRange,
                                                               kExpandRange};

// A finished edit shows the number the page keeps: a number out of range
// shows the end of the range it was brought to.
void showKeptValueWhenFinished(SettingsPage* page, QLineEdit* edit) {
  QObject::connect(edit, &QLineEdit::editingFinished, page, [page] { page->Load(); });
}

}  // namespace

FlatsPage::FlatsPage(const DialogUnits& units, QWidget* parent) : SettingsPage(parent) {
  setObjectName(QStringLiteral("flatsPage"));
  shapePage(this, units);
  addRows(this, units, kFlatsRows, edits_);
  for (QLineEdit* edit : edits_) {
    connect(edit, &QLineEdit::textChanged, this, &FlatsPage::edited);
    showKeptValueWhenFinished(this, edit);
  }
}

void FlatsPage::setFromSettings(const FlatGroup& settings) {
  filterWidth = settings.filterWidth;
  filterHeight = settings.filterHeight;
  varHi = settings.varHi;
  varLo = settings.varLo;
  border = settings.border;
}

FlatGroup FlatsPage::values() const {
  FlatGroup result;
  result.filterWidth = filterWidth;
  result.filterHeight = filterHeight;
  result.varHi = varHi;
  result.varLo = varLo;
  result.border = border;
  return result;
}

void FlatsPage::loadControls() {
  for (size_t i = 0; i < kFlatsFields.size(); ++i) edits_[i]->setText(QString::number(this->*kFlatsFields[i]));
}

void FlatsPage::storeControls() {
  for (const size_t i : kFlatsStoreOrder) this->*kFlatsFields[i] = kFlatsRanges[i].clamp(parseIntField(edits_[i]->text()));
}

// ---------------------------------------------------------------------------
// DarksPage

DarksPage::DarksPage(const DialogUnits& units, QWidget* parent) : SettingsPage(parent) {
  setObjectName(QStringLiteral("darksPage"));
  shapePage(this, units);
  addRows(this, units, kDarksRows, edits_);
  for (QLineEdit* edit : edits_) {
    connect(edit, &QLineEdit::textChanged, this, &DarksPage::edited);
    showKeptValueWhenFinished(this, edit);
  }
}

void DarksPage::setFromSettings(const DarkGroup& settings) {
  hot = static_cast<int32_t>(settings.hot);
  cold = static_cast<int32_t>(settings.cold);
  expand = settings.expand;
}

DarkGroup DarksPage::values() const {
  DarkGroup result;
  result.hot = static_cast<uint32_t>(hot);
  result.cold = static_cast<uint32_t>(cold);
  result.expand = expand;
  return result;
}

void DarksPage::loadControls() {
  for (size_t i = 0; i < kDarksFields.size(); ++i) edits_[i]->setText(QString::number(this->*kDarksFields[i]));
}

void DarksPage::storeControls() {
  for (size_t i = 0; i < kDarksFields.size(); ++i)
    this->*kDarksFields[i] = kDarksRanges[i].clamp(parseIntField(edits_[i]->text()));
}

}  // namespace stelp
