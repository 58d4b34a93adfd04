#include "app/source_list_view.h"

#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QPainter>
#include <algorithm>
#include <iterator>
#include <utility>

namespace stelp {
namespace {

// Space between the row's left edge and the text, and between the text and
// the edges of its highlight.
constexpr int kTextMargin = 4;
const QColor kFocusFrameColour(128, 128, 128);
constexpr int kTextFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;

// A rectangle by its edges, right and bottom exclusive, so that the steps of
// the row layout read as moves of single edges.
struct Edges {
  int left;
  int top;
  int right;
  int bottom;
  QRect rect() const { return QRect(left, top, right - left, bottom - top); }
};

}  // namespace

QString rowText(const ImageSource& source) {
  if (source.path.empty()) return QStringLiteral("<untitled>");
  QString name = QString::fromStdString(source.fileName());
  if (source.bayer != BayerPattern::None)
    name += QStringLiteral(" (Bayer %1)").arg(QLatin1String(bayerName(source.bayer)));
  if (source.missing) name += QStringLiteral(" (missing)");
  if (source.frameCode < 0) return name;
  return QStringLiteral("[%1] %2").arg(QString::number(source.frameCode), name);
}

SourceListModel::SourceListModel(Engine& engine, ListRole role, QObject* parent)
    : QAbstractListModel(parent), engine_(engine), role_(role) {}

int SourceListModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return list().size();
}

QVariant SourceListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.column() != 0) return {};
  const ImageSource* source = entry(index.row());
  if (!source) return {};
  if (role == Qt::DisplayRole) return rowText(*source);
  if (role == EnabledRole) return source->enabled;
  if (role == MissingRole) return source->missing;
  return {};
}

QVariant SourceListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (section != 0 || orientation != Qt::Horizontal) return {};
  if (role == Qt::DisplayRole) return QStringLiteral("Files");
  if (role == Qt::TextAlignmentRole) return static_cast<int>(Qt::AlignLeft | Qt::AlignVCenter);
  return {};
}

void SourceListModel::append(std::vector<std::unique_ptr<ImageSource>> entries) {
  if (entries.empty()) return;
  const int first = rowCount();
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(entries.size()) - 1);
  engine_.AppendEntries(role_, std::move(entries));
  endInsertRows();
}

void SourceListModel::remove(int row, int count) {
  if (count <= 0 || !entry(row) || !entry(row + count - 1)) return;
  beginRemoveRows(QModelIndex(), row, row + count - 1);
  engine_.RemoveEntries(role_, row, count);
  endRemoveRows();
}

void SourceListModel::setEnabled(int row, bool enabled) {
  const ImageSource* source = entry(row);
  if (!source || source->enabled == enabled) return;
  engine_.SetEnabled(role_, row, enabled);
  const QModelIndex changed = index(row, 0);
  emit dataChanged(changed, changed, {EnabledRole});
}

void SourceListModel::clear() {
  beginResetModel();
  engine_.RemoveEntries(role_, 0, rowCount());
  endResetModel();
}

void SourceListModel::reload() {
  beginResetModel();
  endResetModel();
}

void SourceRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  const QVariant textData = index.data(Qt::DisplayRole);
  if (!textData.isValid()) return;  // a row without an entry is not drawn
  const QString text = textData.toString();
  const bool enabled = index.data(SourceListModel::EnabledRole).toBool();
  const bool missing = index.data(SourceListModel::MissingRole).toBool();
  const bool selected = option.state & QStyle::State_Selected;
  const bool rowHasFocus = option.state & QStyle::State_HasFocus;
  const bool listHasFocus = option.widget && option.widget->hasFocus();
  const QPalette& palette = option.palette;

  const QRect row = option.rect;
  const int rowRight = row.x() + row.width();

  // The text's own extent, one line starting 4 pixels in; its highlight then
  // reaches 4 pixels beyond it on either side and one pixel below.
  Edges r{std::min(row.x() + kTextMargin, rowRight), row.y(), 0, 0};
  r.right = r.left + option.fontMetrics.horizontalAdvance(text);
  r.bottom = r.top + option.fontMetrics.height();
  r.left = std::max(r.left - kTextMargin, row.x());
  r.right = std::min(r.right + kTextMargin, rowRight);
  r.bottom += 1;

  painter->save();
  painter->setClipRect(row);
  QColor textColour = palette.color(QPalette::Text);
  if (!selected) {
    painter->fillRect(row, palette.color(QPalette::Base));
  } else if (listHasFocus) {
    textColour = palette.color(QPalette::HighlightedText);
    painter->fillRect(r.rect(), palette.color(QPalette::Highlight));
  } else {
    // A list without the focus keeps its selection visible, more quietly.
    painter->fillRect(r.rect(), QApplication::palette("QMenu").color(QPalette::Window));
  }
  if (!enabled || missing) textColour = palette.color(QPalette::Disabled, QPalette::Text);

  if (rowHasFocus) {
    painter->setPen(kFocusFrameColour);
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(r.left, r.top, r.right - r.left - 1, r.bottom - r.top - 1);
  }

  r.left = std::min(r.left + kTextMargin, r.right);
  r.bottom -= 1;
  painter->setFont(option.font);
  painter->setPen(textColour);
  painter->drawText(r.rect(), kTextFlags, text);
  painter->restore();
}

QSize SourceRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  const QString text = index.data(Qt::DisplayRole).toString();
  // Room for the text, its margins and the highlight's extra pixel below.
  return QSize(option.fontMetrics.horizontalAdvance(text) + 2 * kTextMargin, option.fontMetrics.height() + 2);
}

SourceListView::SourceListView(QWidget* parent) : QTreeView(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSortingEnabled(false);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setItemDelegate(new SourceRowDelegate(this));
  header()->setSectionsClickable(false);
  header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

std::vector<int> SourceListView::selectedRows() const {
  std::vector<int> rows;
  if (!selectionModel()) return rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

void SourceListView::selectOnly(int row) {
  if (!model() || !selectionModel()) return;
  const QModelIndex index = model()->index(row, 0);
  if (!index.isValid()) return;
  selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  scrollTo(index);
}

void SourceListView::keyPressEvent(QKeyEvent* event) {
  // The toggle sees the selection as it was before the default handling of
  // the space moves it.
  if (event->text() == QStringLiteral(" ")) emit spaceTyped();
  QTreeView::keyPressEvent(event);
}

}  // namespace stelp
