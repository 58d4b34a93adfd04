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
constexpr int kEditHeight = 12;
// The Combine row at the foot of both pages: the list, then the kappas low
// and high around a '-', as the stretch bounds of the Images page.
constexpr int kCombineY = 75;
constexpr int kCombineListWidth = 48;
constexpr int kKappaLabelX = 57;
constexpr int kKappaLowX = 63;
constexpr int kKappaHighX = 84;
constexpr int kKappaWidth = 17;

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
// closed box keeps the height the style asks for. A font wider than the one
// the layout was made for widens the box to its longest item, as far as the
// page's inner edge, so that no item is shown cut short.
QComboBox* addList(QFrame* page, const DialogUnits& units, const char* name, const QStringList& items, int x,
                   int y, int width) {
  auto* list = new QComboBox(page);
  list->setObjectName(QLatin1String(name));
  list->addItems(items);
  const int left = units.x(x);
  const int room = page->width() - page->frameWidth() - 1 - left;
  const int wanted = std::max(units.x(width), list->sizeHint().width());
  list->setGeometry(left, units.y(y), std::max(units.x(width), std::min(wanted, room)), list->sizeHint().height());
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
      ProcessingGroup& v = values_;
      if (v.stretchFromRel > v.stretchToRel) std::swap(v.stretchFromRel, v.stretchToRel);
      if (v.stretchFromAbs > v.stretchToAbs) std::swap(v.stretchFromAbs, v.stretchToAbs);
      Load();
    });
  connect(deInterlaceList_, &QComboBox::activated, this, &ImagesPage::edited);
  // A new stretch mode brings back the bounds last used with it.
  connect(stretchList_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (loading()) return;
    values_.stretch = static_cast<StretchMode>(index);
    Load();
    RestartRefreshTimer();
  });
}

ProcessingGroup ImagesPage::values() const {
  ProcessingGroup result = values_;
  result.stretchFromRel = std::min(values_.stretchFromRel, values_.stretchToRel);
  result.stretchToRel = std::max(values_.stretchFromRel, values_.stretchToRel);
  result.stretchFromAbs = std::min(values_.stretchFromAbs, values_.stretchToAbs);
  result.stretchToAbs = std::max(values_.stretchFromAbs, values_.stretchToAbs);
  return result;
}

void ImagesPage::loadControls() {
  const ProcessingGroup& v = values_;
  // The two edits show the pair of the current mode; without a stretch they
  // show the full range, greyed.
  switch (v.stretch) {
    case StretchMode::None:
      stretchFrom_ = 0.0f;
      stretchTo_ = 255.0f;
      break;
    case StretchMode::Percent:
      stretchFrom_ = v.stretchFromRel;
      stretchTo_ = v.stretchToRel;
      break;
    case StretchMode::Levels:
      stretchFrom_ = v.stretchFromAbs;
      stretchTo_ = v.stretchToAbs;
      break;
  }
  fromEdit_->setEnabled(v.stretch != StretchMode::None);
  toEdit_->setEnabled(v.stretch != StretchMode::None);
  darkCheck_->setChecked(v.dark);
  flatCheck_->setChecked(v.flat);
  synFlatCheck_->setChecked(v.synFlat);
  hotCheck_->setChecked(v.hot);
  toEdit_->setText(formatFloatField(stretchTo_));
  deInterlaceList_->setCurrentIndex(static_cast<int>(v.deInterlace));
  fromEdit_->setText(formatFloatField(stretchFrom_));
  stretchList_->setCurrentIndex(static_cast<int>(v.stretch));
}

void ImagesPage::storeControls() {
  ProcessingGroup& v = values_;
  stretchFrom_ = parseFloatField(fromEdit_->text());
  stretchTo_ = parseFloatField(toEdit_->text());
  v.dark = darkCheck_->isChecked();
  v.flat = flatCheck_->isChecked();
  v.synFlat = synFlatCheck_->isChecked();
  v.hot = hotCheck_->isChecked();
  v.stretch = static_cast<StretchMode>(std::max(stretchList_->currentIndex(), 0));
  v.deInterlace = static_cast<DeInterlace>(std::max(deInterlaceList_->currentIndex(), 0));
  // The working pair is remembered as the pair of its mode.
  fromEdit_->setEnabled(v.stretch != StretchMode::None);
  toEdit_->setEnabled(v.stretch != StretchMode::None);
  switch (v.stretch) {
    case StretchMode::None: break;
    case StretchMode::Percent:
      v.stretchFromRel = stretchFrom_ = kStretchPercentRange.clamp(stretchFrom_);
      v.stretchToRel = stretchTo_ = kStretchPercentRange.clamp(stretchTo_);
      break;
    case StretchMode::Levels:
      v.stretchFromAbs = stretchFrom_ = kStretchLevelRange.clamp(stretchFrom_);
      v.stretchToAbs = stretchTo_ = kStretchLevelRange.clamp(stretchTo_);
      break;
  }
}

// ---------------------------------------------------------------------------
// FlatsPage

namespace {

constexpr std::array<EditRow, 5> kFlatsRows = {{
    {"Filter width", 6, 4, "filterWidth", Entry::DigitsOnly},
    {"Filter height", 20, 18, "filterHeight", Entry::AnyText},
    {"Variation +", 34, 32, "varHi", Entry::DigitsOnly},
    {"Variation -", 48, 46, "varLo", Entry::DigitsOnly},
    {"Image border", 62, 60, "border", Entry::AnyText},
}};

// The values of the rows above, and their ranges.
constexpr std::array<int32_t FlatGroup::*, 5> kFlatsFields = {
    &FlatGroup::filterWidth, &FlatGroup::filterHeight, &FlatGroup::varHi, &FlatGroup::varLo, &FlatGroup::border};
constexpr std::array<SettingRange<int32_t>, 5> kFlatsRanges = {kFilterSizeRange, kFilterSizeRange, kVariationRange,
                                                               kVariationRange, kBorderRange};

constexpr std::array<EditRow, 3> kDarksRows = {{
    {"Hot pixel level", 9, 7, "hotLevel", Entry::AnyText},
    {"Cold pixel level", 26, 23, "coldLevel", Entry::AnyText},
    {"Expansion", 43, 40, "expand", Entry::AnyText},
}};

// The levels are typed as signed numbers: a negative one is kept as 0.
constexpr SettingRange<int32_t> kDarkLevelFieldRange{static_cast<int32_t>(kDarkLevelRange.lowest),
                                                     static_cast<int32_t>(kDarkLevelRange.highest)};

// A finished edit shows the number the page keeps: a number out of range
// shows the end of the range it was brought to.
void showKeptValueWhenFinished(SettingsPage* page, QLineEdit* edit) {
  QObject::connect(edit, &QLineEdit::editingFinished, page, [page] { page->Load(); });
}

// Builds the Combine row of a page about `what` ("flats", "darks"). `edited`
// is the page's edit; a new choice also greys or ungreys the kappas.
template <typename Edited>
CombineControls addCombineRow(SettingsPage* page, const DialogUnits& units, const QString& what, Edited edited) {
  CombineControls c;
  // The list's order is CombineMethod's.
  c.list = addList(page, units, "combine",
                   {QStringLiteral("Average"), QStringLiteral("Median"), QStringLiteral("Sigma clip")}, kLabelX,
                   kCombineY, kCombineListWidth);
  c.list->setToolTip(QStringLiteral("Combine: how the master is made of the ") + what);
  addLabel(page, QStringLiteral(u"\u03ba"), units.rect(kKappaLabelX, kCombineY + 2, 6, kLabelHeight));
  c.kappaLow = addEdit(page, "kappaLow", units.rect(kKappaLowX, kCombineY, kKappaWidth, kEditHeight), Entry::AnyText);
  addLabel(page, QStringLiteral("-"), units.rect(kKappaLowX + kKappaWidth + 1, kCombineY + 2, 3, kLabelHeight));
  c.kappaHigh = addEdit(page, "kappaHigh", units.rect(kKappaHighX, kCombineY, kKappaWidth, kEditHeight), Entry::AnyText);
  c.kappaLow->setToolTip(QStringLiteral(u"\u03ba low: sigma clipping drops values below median - \u03ba low \u00d7 sigma"));
  c.kappaHigh->setToolTip(QStringLiteral(u"\u03ba high: sigma clipping drops values above median + \u03ba high \u00d7 sigma"));
  QObject::connect(c.list, &QComboBox::currentIndexChanged, page, [c, edited](int index) {
    c.kappaLow->setEnabled(index == static_cast<int>(CombineMethod::SigmaClip));
    c.kappaHigh->setEnabled(index == static_cast<int>(CombineMethod::SigmaClip));
    edited();
  });
  for (QLineEdit* edit : {c.kappaLow, c.kappaHigh}) {
    QObject::connect(edit, &QLineEdit::textChanged, page, edited);
    showKeptValueWhenFinished(page, edit);
  }
  return c;
}

void loadCombine(const CombineControls& c, const CombineGroup& values) {
  c.list->setCurrentIndex(static_cast<int>(values.method));
  c.kappaLow->setText(formatFloatField(values.kappaLow));
  c.kappaHigh->setText(formatFloatField(values.kappaHigh));
  c.kappaLow->setEnabled(values.method == CombineMethod::SigmaClip);
  c.kappaHigh->setEnabled(values.method == CombineMethod::SigmaClip);
}

void storeCombine(const CombineControls& c, CombineGroup& values) {
  values.method = static_cast<CombineMethod>(kCombineMethodRange.clamp(c.list->currentIndex()));
  values.kappaLow = kKappaRange.clamp(parseFloatField(c.kappaLow->text()));
  values.kappaHigh = kKappaRange.clamp(parseFloatField(c.kappaHigh->text()));
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
  combine_ = addCombineRow(this, units, QStringLiteral("flats"), [this] { edited(); });
}

void FlatsPage::loadControls() {
  for (size_t i = 0; i < kFlatsFields.size(); ++i) edits_[i]->setText(QString::number(values_.*kFlatsFields[i]));
  loadCombine(combine_, values_.combine);
}

void FlatsPage::storeControls() {
  for (size_t i = 0; i < kFlatsFields.size(); ++i)
    values_.*kFlatsFields[i] = kFlatsRanges[i].clamp(parseIntField(edits_[i]->text()));
  storeCombine(combine_, values_.combine);
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
  combine_ = addCombineRow(this, units, QStringLiteral("darks"), [this] { edited(); });
}

void DarksPage::loadControls() {
  edits_[0]->setText(QString::number(values_.hot));
  edits_[1]->setText(QString::number(values_.cold));
  edits_[2]->setText(QString::number(values_.expand));
  loadCombine(combine_, values_.combine);
}

void DarksPage::storeControls() {
  values_.hot = static_cast<uint32_t>(kDarkLevelFieldRange.clamp(parseIntField(edits_[0]->text())));
  values_.cold = static_cast<uint32_t>(kDarkLevelFieldRange.clamp(parseIntField(edits_[1]->text())));
  values_.expand = kExpandRange.clamp(parseIntField(edits_[2]->text()));
  storeCombine(combine_, values_.combine);
}

}  // namespace stelp
