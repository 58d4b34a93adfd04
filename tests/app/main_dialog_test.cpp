#include <QCheckBox>
#include <QProgressBar>
#include <tuple>

#include "app_test_util.h"

namespace stelp::test {
namespace {

class MainDialogTest : public WindowTest {
 protected:
  QStringList rowTexts(ListRole role) const {
    QStringList texts;
    const SourceListModel* model = window->model(role);
    for (int row = 0; row < model->rowCount(); ++row) texts << model->data(model->index(row)).toString();
    return texts;
  }
  void select(ListRole role, std::initializer_list<int> rows) {
    window->list(role)->clearSelection();
    for (int row : rows)
      window->list(role)->selectionModel()->select(window->model(role)->index(row), QItemSelectionModel::Select);
  }
};

// The view takes what the window gains; the controls stay clear of it.
TEST_F(MainDialogTest, LayoutFollowsTheWindowSizeAndTheStatusLineKeepsTheFirstTextUntilThePaint) {
  QRect before;
  for (const QSize size : {QSize(640, 480), QSize(1300, 900)}) {
    window->resize(size);
    settle();
    const QRect view = window->imageView()->geometry();
    EXPECT_LT(view.bottom(), window->importButton()->geometry().top());
    EXPECT_FALSE(view.intersects(window->imagesPage()->geometry()));
    EXPECT_LE(window->statusLine()->geometry().right(), window->client()->width());
    if (!before.isNull()) EXPECT_EQ(view.size() - before.size(), QSize(1300 - 640, 900 - 480));
    before = view;
  }
  window->resize(100, 100);
  EXPECT_TRUE(window->frameGeometry().width() >= 420 && window->frameGeometry().height() >= 350);
  // Escape never closes the window.
  QTest::keyClick(window->list(ListRole::Images), Qt::Key_Escape);
  QTest::keyClick(window.get(), Qt::Key_Escape);
  settle();
  EXPECT_TRUE(window->isVisible());

  window->SetStatus("Averaging flats");
  window->SetStatus("Processing image");
  EXPECT_EQ(window->statusLine()->text(), "Averaging flats");
  window->RefreshView();
  window->FinishWork();
  EXPECT_EQ(window->statusLine()->text(), "Ready");

  // Long work moves the bar beside the status line; "Ready" hides it.
  window->engine().progress().Step(2, 5);
  const QProgressBar* bar = window->progressBar();
  EXPECT_EQ(std::tuple(bar->isVisible(), bar->value(), bar->maximum()), std::tuple(true, 2, 5));
  window->SetStatus();
  EXPECT_FALSE(bar->isVisible());
}

// Files chosen together are listed as a file dialog lists them, in whatever order they come: by name, case aside.
TEST_F(MainDialogTest, ImportAppendsInNameOrderAndRemoveTakesTheWholeVideo) {
  const std::string avi = writeTestAvi(dir, "moon.avi", 8, 6, 3);
  import(ListRole::Images, {q(writeTestBitmap(dir, "m03.dib", 8, 6)), q(writeTestBitmap(dir, "M02.bmp", 8, 6)),
                            q(writeTestBitmap(dir, "m01.bmp", 8, 6))});
  EXPECT_EQ(rowTexts(ListRole::Images), QStringList({"m01.bmp", "M02.bmp", "m03.dib"}));
  EXPECT_EQ(window->list(ListRole::Images)->selectedRows(), std::vector<int>{0});
  EXPECT_EQ(window->engine().list(ListRole::Images).focused, 0);
  import(ListRole::Images, {q(avi)});
  EXPECT_EQ(rowTexts(ListRole::Images).mid(3), QStringList({"[0] moon.avi", "[1] moon.avi", "[2] moon.avi"}));
  EXPECT_EQ(window->list(ListRole::Images)->selectedRows(), std::vector<int>{3});
  EXPECT_TRUE(dialogs.messages.empty());

  // One frame stands for the whole video. Delete removes a list's selection only.
  select(ListRole::Images, {4});
  window->list(ListRole::Images)->setFocus();
  QTest::keyClick(window->list(ListRole::Images), Qt::Key_Delete);
  settle();
  EXPECT_EQ(rowTexts(ListRole::Images), QStringList({"m01.bmp", "M02.bmp", "m03.dib"}));
  EXPECT_EQ(window->list(ListRole::Images)->selectedRows(), std::vector<int>{0});
  select(ListRole::Images, {0, 1, 2});
  window->roleSelector()->setFocus();
  QTest::keyClick(window->roleSelector(), Qt::Key_Delete);
  settle();
  EXPECT_EQ(window->model(ListRole::Images)->rowCount(), 3);

  // The same file may stand in another list; the Flats view falls back to "Raw", also on a remove, even of nothing.
  window->roleSelector()->setCurrentIndex(1);
  QComboBox* flatsView = window->viewSelector(ListRole::Flats);
  flatsView->setCurrentIndex(FlatsSynthetic);
  import(ListRole::Flats, {q(avi)});
  EXPECT_EQ(flatsView->currentIndex(), 0);
  showView(ListRole::Flats, FlatsSynthetic);
  window->list(ListRole::Flats)->clearSelection();
  window->RemoveSelected();
  settle();
  EXPECT_TRUE(window->engine().product(kMasterFlatBit));
  EXPECT_EQ(std::pair(flatsView->currentIndex(), window->model(ListRole::Flats)->rowCount()), std::pair(0, 3));
}

// The window counts and names what it did not import; the readers' reasons are theirs.
TEST_F(MainDialogTest, ImportFailureTexts) {
  const std::string a = writeTestBitmap(dir, "a.bmp", 8, 6), notes = dir.file("notes.txt"), cut = dir.file("cut.fits");
  writeFile(notes, Bytes{'x'});
  writeFile(cut, Bytes{'S', 'I', 'M', 'P', 'L', 'E'});
  import(ListRole::Images, {q(a)});
  import(ListRole::Images, {q(writeTestBitmap(dir, "s1.bmp", 4, 4)), q(a), q(cut),
                            q(writeTestBitmap(dir, "s2.bmp", 4, 4)), q(notes)});
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[0], "Import failure: 2 files are a different size from current images.\n1 file is already "
                                 "loaded.");
  EXPECT_TRUE(dialogs.messages[1].startsWith("Import failure: These files could not be read and were not "
                                             "imported:\n" + q(cut) + ": "));
  EXPECT_TRUE(dialogs.messages[1].contains("\n" + q(notes) + ": " + q(entriesOfFile(notes).why)));
  EXPECT_EQ(window->model(ListRole::Images)->rowCount(), 1);
}

TEST_F(MainDialogTest, ToggleSpaceAndDoubleClick) {
  import(ListRole::Darks, {q(writeTestAvi(dir, "dark.avi", 8, 6, 3))});
  SourceListModel* model = window->model(ListRole::Darks);
  auto enabled = [&] {
    std::vector<bool> flags;
    for (int row = 0; row < model->rowCount(); ++row) flags.push_back(model->entry(row)->enabled);
    return flags;
  };
  model->setEnabled(1, false);
  select(ListRole::Darks, {0, 1});
  window->toggleButton()->click();
  EXPECT_EQ(enabled(), std::vector<bool>({false, false, true}));
  QTest::keyClick(window->list(ListRole::Darks), Qt::Key_Space);
  EXPECT_EQ(enabled(), std::vector<bool>({true, true, true}));

  // A double click flips only the row at the selection mark.
  showView(ListRole::Darks, DarksAveraged);
  ASSERT_TRUE(window->engine().product(kMasterDarkBit));
  window->list(ListRole::Darks)->selectionModel()->setCurrentIndex(model->index(2), QItemSelectionModel::Select);
  window->FlipAtSelectionMark();
  EXPECT_EQ(enabled(), std::vector<bool>({true, true, false}));
  EXPECT_FALSE(window->engine().product(kMasterDarkBit));
}

TEST_F(MainDialogTest, ViewShowsEveryProductAndSwitchesAndPageEditsReachTheEngineAfterTheDelay) {
  import(ListRole::Images, {q(writeTestBitmap(dir, "light.bmp", 8, 6, 120))});
  import(ListRole::Flats, {q(writeTestBitmap(dir, "flat.bmp", 8, 6, 200))});
  import(ListRole::Darks, {q(writeTestBitmap(dir, "dark.bmp", 8, 6, 5))});
  const struct { ListRole role; int view; ProductBit product; } cases[] = {
      {ListRole::Images, ImagesProcessed, kProcessedFrameBit}, {ListRole::Flats, FlatsAveraged, kMasterFlatBit},
      {ListRole::Flats, FlatsGradient, kGradientMapBit},       {ListRole::Flats, FlatsSynthetic, kSyntheticFlatBit},
      {ListRole::Darks, DarksAveraged, kMasterDarkBit},        {ListRole::Darks, DarksHotPixels, kHotPixelMapBit},
  };
  for (const auto& c : cases) {
    showView(c.role, c.view);
    EXPECT_TRUE(window->engine().product(c.product)) << static_cast<int>(c.role) << " " << c.view;
    EXPECT_EQ(window->viewBitmap().width, window->imageView()->width());
  }
  EXPECT_TRUE(window->darksPage()->isVisible() && !window->imagesPage()->isVisible());

  // The colour mode and the FITS scale reach the engine and the menu.
  trigger("Colour processing");
  window->findChild<QAction*>("fitsScaleBrightest")->trigger();
  EXPECT_FALSE(window->engine().settings().processing.colour || window->action("Colour processing")->isChecked());
  EXPECT_EQ(window->engine().settings().processing.fitsScale, FitsScale::BrightestPixel);

  import(ListRole::Flats, {q(writeTestBitmap(dir, "f.bmp", 8, 6))});
  QLineEdit* width = window->flatsPage()->filterWidthEdit();
  width->clear();
  QTest::keyClicks(width, "150");
  EXPECT_EQ(window->engine().settings().flat.filterWidth, 100);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->engine().settings().flat.filterWidth == 150; }, 2000));

  // The Images page turns its view to "Processed".
  window->roleSelector()->setCurrentIndex(0);
  window->imagesPage()->darkCheck()->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->engine().settings().processing.dark; }, 2000));
  EXPECT_EQ(window->viewSelector(ListRole::Images)->currentIndex(), ImagesProcessed);
}

}  // namespace
}  // namespace stelp::test
