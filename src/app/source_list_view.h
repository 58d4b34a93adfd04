#pragma once

#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <memory>
#include <vector>

#include "engine/engine.h"

namespace stelp {

// A row's text: "[%d] %s" with the frame index and file name for an AVI
// frame, the file name for a bitmap or FITS entry, "<untitled>" without a
// path; " (Bayer RGGB)" follows the name of a colour sensor's mosaic, with
// its pattern, and " (missing)" that of a file that was not found.
QString rowText(const ImageSource& source);

// The rows of one of the engine's source lists. Every change of the list's
// entries goes through this model to the engine, so the views hear of it.
class SourceListModel : public QAbstractListModel {
  Q_OBJECT
 public:
  // Besides Qt::DisplayRole (the row text): whether the entry is enabled,
  // and whether its file was missing when the project was opened.
  static constexpr int EnabledRole = Qt::UserRole + 1;
  static constexpr int MissingRole = Qt::UserRole + 2;

  SourceListModel(Engine& engine, ListRole role, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  const SourceList& list() const { return engine_.list(role_); }
  const ImageSource* entry(int row) const { return list().entry(row); }

  // Appends entries at the end of the list.
  void append(std::vector<std::unique_ptr<ImageSource>> entries);
  // Releases and removes the entries of `count` rows from `row` on; the
  // focus stays on the same entry when rows above it go, and is lost with
  // its own row.
  void remove(int row, int count = 1);
  void setEnabled(int row, bool enabled);
  // Releases every entry, from the last to the first.
  void clear();
  // The list was replaced behind the model's back (a project was opened).
  void reload();

 private:
  Engine& engine_;
  const ListRole role_;
};

// Draws a row in place of the style's own look: the highlight only behind
// the text and a 4-pixel margin, the menu colour for a selected row of a list
// without the focus, grey text for a disabled or missing entry, and a 1-pixel
// frame of RGB (128, 128, 128) around the focused row.
class SourceRowDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The list control of one role: one column headed "Files", multiple
// selection, rows of fixed height drawn by SourceRowDelegate, no sorting.
// A typed space asks for ToggleSelected before the default handling.
class SourceListView : public QTreeView {
  Q_OBJECT
 public:
  explicit SourceListView(QWidget* parent = nullptr);
  SourceListModel* sourceModel() const { return qobject_cast<SourceListModel*>(model()); }
  // Selected rows in ascending order.
  std::vector<int> selectedRows() const;
  // Clears the selection, then selects and focuses `row` and scrolls to it
  // (nothing when the row does not exist).
  void selectOnly(int row);

 signals:
  void spaceTyped();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace stelp
