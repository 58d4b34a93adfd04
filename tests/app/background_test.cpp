// The window's background work: events are handled while it runs, Cancel stops it and leaves nothing half made, and an
// edit stops only the work it makes stale. The worker is held in a frame load until the test lets it go or it stops.
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>
#include <tuple>

#include "app_test_util.h"
#include "engine/parallel.h"

namespace stelp::test {
namespace {

// A frame loader that holds the worker in every load of a chosen file until the test opens the gate or the work stops.
class Gate {
 public:
  explicit Gate(std::string heldPath) : heldPath_(std::move(heldPath)) {}

  Engine::FrameLoader loader() {
    return [this](const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string* why) {
      std::unique_lock lock(mutex_);
      ++loads_[source->path];
      if (source->path == heldPath_ && !open_) {
        ++held_;
        changed_.notify_all();
        std::stop_callback wake(currentStop, [this] { changed_.notify_all(); });
        changed_.wait(lock, [this] { return open_ || stopRequested(); });
        if (!open_) ++stopped_;
        --held_;
        changed_.notify_all();
      }
      lock.unlock();
      return loadFrame(source, slot, format, why);
    };
  }
  void waitHeld() { waitFor([this] { return held_ > 0; }); }
  void waitStopped(int stopped) { waitFor([&] { return stopped_ >= stopped; }); }
  void open() { std::lock_guard lock(mutex_); open_ = true; changed_.notify_all(); }
  int loads(const std::string& path) { std::lock_guard lock(mutex_); return loads_[path]; }
  int stopped() { std::lock_guard lock(mutex_); return stopped_; }

 private:
  template <typename Ready> void waitFor(Ready ready) { std::unique_lock lock(mutex_); changed_.wait(lock, ready); }

  std::string heldPath_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::map<std::string, int> loads_;
  int held_ = 0, stopped_ = 0;
  bool open_ = false;
};

class BackgroundTest : public WindowTest {
 protected:
  std::string darkA = writeTestBitmap(dir, "a.bmp", 8, 6, 10), darkB = writeTestBitmap(dir, "b.bmp", 8, 6, 30);
  Gate gate{darkB};

  void SetUp() override {
    WindowTest::SetUp();
    import(ListRole::Darks, {q(darkA), q(darkB)});
  }
  // Shows the averaged darks with the worker held in the load of b.bmp.
  void averageHeld() {
    window->engine().SetLoader(gate.loader());
    window->viewSelector(ListRole::Darks)->setCurrentIndex(DarksAveraged);
    window->RefreshView();
    gate.waitHeld();
  }
};

TEST_F(BackgroundTest, WindowAnswersDuringWorkAndCancelLeavesNothingHalfMade) {
  averageHeld();
  bool timerRan = false;
  QTimer::singleShot(0, window.get(), [&] { timerRan = true; });
  QCoreApplication::processEvents();
  EXPECT_TRUE(timerRan);
  EXPECT_EQ(std::tuple(window->work(), window->statusLine()->text(), window->cancelButton()->isVisible()),
            std::tuple(MainDialog::WorkKind::View, QString("Averaging darks"), true));
  EXPECT_FALSE(window->importButton()->isEnabled() && window->work() == MainDialog::WorkKind::Task);

  const int loadsBefore = gate.loads(darkA) + gate.loads(darkB);
  window->cancelButton()->click();
  window->FinishWork();
  EXPECT_EQ(gate.stopped(), 1);
  EXPECT_FALSE(window->engine().product(kMasterDarkBit) || window->cancelButton()->isVisible());
  EXPECT_EQ(window->statusLine()->text(), "Ready");
  // A cancelled view is not made again by itself.
  EXPECT_EQ(gate.loads(darkA) + gate.loads(darkB), loadsBefore);
}

TEST_F(BackgroundTest, AnEditStopsOnlyWorkItMakesStale) {
  averageHeld();
  // The hot pixel level does not touch the dark average: it goes on, and the level reaches the engine once it is done.
  window->darksPage()->hotEdit()->setText(QStringLiteral("150"));
  window->darksPage()->Store();
  window->ApplyDarksPage();
  EXPECT_EQ(window->engine().settings().dark.hot, 200u);
  gate.open();
  window->FinishWork();
  EXPECT_EQ(std::pair(gate.stopped(), window->engine().settings().dark.hot), std::pair(0, 150u));
  ASSERT_TRUE(window->engine().product(kMasterDarkBit));
  EXPECT_EQ(gate.loads(darkB), 1);  // the held load was not made again

  // Switching a dark off makes the average stale: it stops, and the one made afterwards holds the dark that is left.
  Gate second(darkB);
  window->engine().SetLoader(second.loader());
  window->model(ListRole::Darks)->setEnabled(0, false);  // off and on: the average goes
  window->model(ListRole::Darks)->setEnabled(0, true);
  window->RefreshView();
  second.waitHeld();
  window->list(ListRole::Darks)->selectOnly(0);  // the first dark, a.bmp
  window->ToggleSelected(ListRole::Darks);
  second.waitStopped(1);
  second.open();  // b.bmp, the dark that is left, is loaded for the new average
  window->FinishWork();
  ASSERT_TRUE(window->engine().product(kMasterDarkBit));
  ImageSlot expected;
  ASSERT_TRUE(loadFrame(window->engine().list(ListRole::Darks).entry(1), expected, PixelFormat::BgrFloat));
  EXPECT_EQ(pixelBytes(*window->engine().product(kMasterDarkBit)), pixelBytes(*expected));
}

// A cancelled export keeps the files it completed, names them, and leaves no file of the frame it was making.
TEST_F(BackgroundTest, CancelledExportNamesTheFilesItCompleted) {
  import(ListRole::Images, {q(darkA), q(darkB)});
  window->engine().SetLoader(gate.loader());
  dialogs.fileAnswers.push_back(q(dir.file("out.bmp")));
  window->SaveProcessed();
  gate.waitHeld();
  // The second frame is loaded ahead while the first is written: cancel once the first file is complete.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!std::filesystem::exists(dir.file("out_000.bmp")) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_FALSE(window->importButton()->isEnabled());
  window->cancelButton()->click();
  gate.waitStopped(1);
  gate.open();  // for the view's frame once the export is over
  window->FinishWork();
  EXPECT_EQ(dialogs.messages.back(),
            "Save images: The export was cancelled; these files were completed:\n" + q(dir.file("out_000.bmp")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("out_001.bmp")));
  EXPECT_TRUE(window->importButton()->isEnabled());
}

}  // namespace
}  // namespace stelp::test
