// How long the window stops handling events while it works: a 10 ms timer
// probes the event loop, and the longest gap between two probes is reported
// for each piece of long work, with the time from "Cancel" to the work
// having stopped. Runs offscreen; prints one line per figure. Not a test:
// the figures depend on the machine.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/dialog_host.h"
#include "app/main_dialog.h"
#include "app/source_list_view.h"
#include "image/fits.h"

namespace {

using namespace stelp;

// Answers the file dialogs with one prepared answer each; nothing waits.
class Answers : public DialogHost {
 public:
  QStringList files;
  QString saveAs;
  QStringList openFiles(QWidget*, const QString&, const std::vector<FileFilter>&, const QString&) override {
    return files;
  }
  std::optional<QString> openFile(QWidget*, FileRequest&) override { return std::nullopt; }
  std::optional<QString> saveFile(QWidget*, FileRequest&) override { return saveAs; }
  MessageAnswer message(QWidget*, const QString&, const QString&, MessageButtons, MessageIcon) override {
    return MessageAnswer::Ok;
  }
  std::optional<uint32_t> sequenceNumber(QWidget*, uint32_t n) override { return n; }
  void about(QWidget*) override {}
  void welcome(QWidget*) override {}
  ReminderChoice reminder(QWidget*, int32_t) override { return ReminderChoice{}; }
  void openUrl(const QString&) override {}
};

// The longest gap between 10 ms probes while `start` sets work going and
// until the window is idle again.
double longestGap(MainDialog& window, const std::function<void()>& start) {
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, longest = 0;
  QTimer probe;
  qint64 longestEnd = 0;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    if (now - last > longest) {
      longest = now - last;
      longestEnd = now;
    }
    last = now;
  });
  probe.start(10);
  start();
  window.FinishWork();
  longest = std::max(longest, clock.elapsed() - last);
  if (std::getenv("STELP_BENCH_DETAIL"))
    std::printf("  (longest gap ended at %lld ms of %lld)\n", static_cast<long long>(longestEnd),
                static_cast<long long>(clock.elapsed()));
  return static_cast<double>(longest);
}

// A list of `count` entries whose frames come from memory: the loader hands
// out copies of one frame, so only the engine's own work is measured.
void fillFromMemory(MainDialog& window, ListRole role, int count, int32_t width, int32_t height) {
  Engine& engine = window.engine();
  auto frame = std::make_shared<ImageBuffer>();
  frame->setFormat(PixelFormat::BgrFloat);
  frame->width = width;
  frame->height = height;
  frame->allocate();
  engine.SetLoader([frame](const ImageSource*, ImageSlot& slot, PixelFormat format, std::string*) {
    auto copy = std::make_unique<ImageBuffer>();
    copy->setFormat(format);
    copy->width = frame->width;
    copy->height = frame->height;
    if (!copy->allocate()) return false;
    slot = std::move(copy);
    return true;
  });
  engine.SetFrameSize({width, height});
  std::vector<std::unique_ptr<ImageSource>> entries;
  for (int i = 0; i < count; ++i) {
    entries.push_back(std::make_unique<ImageSource>());
    entries.back()->setPath("/memory/frame.avi", i);
  }
  window.model(role)->append(std::move(entries));
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "stelp-window-bench";
  std::filesystem::create_directories(folder);

  {
    Answers answers;
    MainDialog window(answers, "");
    window.show();
    window.FinishWork();
    fillFromMemory(window, ListRole::Darks, 500, 1920, 1080);
    window.roleSelector()->setCurrentIndex(static_cast<int>(ListRole::Darks));
    window.FinishWork();
    const double gap = longestGap(window, [&] { window.viewSelector(ListRole::Darks)->setCurrentIndex(DarksAveraged); });
    std::printf("average 500 frames of 1920 x 1080: longest gap %.0f ms\n", gap);

    // Cancel: the same work stopped a little after it started.
    window.engine().DropAllProducts();
    window.viewSelector(ListRole::Darks)->setCurrentIndex(DarksRaw);
    window.FinishWork();
    window.viewSelector(ListRole::Darks)->setCurrentIndex(DarksAveraged);
    QElapsedTimer clock;
    bool running = false;
    QTimer::singleShot(300, &window, [&] {
      running = window.work() != MainDialog::WorkKind::None;
      clock.start();
      window.CancelWork();
    });
    window.FinishWork();
    while (!clock.isValid()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    window.FinishWork();
    std::printf("cancel of that average (%s): stopped after %lld ms\n", running ? "running" : "already done",
                static_cast<long long>(clock.elapsed()));
  }
  {
    Answers answers;
    MainDialog window(answers, "");
    window.show();
    window.FinishWork();
    fillFromMemory(window, ListRole::Images, 2000, 640, 480);
    answers.saveAs = QString::fromStdString((folder / "export.avi").string());
    window.FinishWork();
    QElapsedTimer call;
    call.start();
    const double gap = longestGap(window, [&] {
      window.SaveProcessed();
      std::printf("  (SaveProcessed returned after %lld ms)\n", static_cast<long long>(call.elapsed()));
    });
    std::printf("export 2000 frames of 640 x 480 to AVI: longest gap %.0f ms\n", gap);
  }
  {
    // Import and project opening read real files: FITS of 4096 x 4096.
    const int kFiles = argc > 1 ? std::atoi(argv[1]) : 50;
    auto frame = std::make_unique<ImageBuffer>();
    frame->setFormat(PixelFormat::GrayFloat);
    frame->width = frame->height = 4096;
    frame->allocate();
    Answers answers;
    for (int i = 0; i < kFiles; ++i) {
      const std::string path = (folder / ("flat_" + std::to_string(i) + ".fits")).string();
      if (!std::filesystem::exists(path)) writeFits(path, *frame, FitsDepth::Int16);
      answers.files << QString::fromStdString(path);
    }
    MainDialog window(answers, "");
    window.show();
    window.roleSelector()->setCurrentIndex(static_cast<int>(ListRole::Flats));
    window.FinishWork();
    double gap = longestGap(window, [&] { window.ImportFiles(); });
    std::printf("import %d FITS files of 4096 x 4096: longest gap %.0f ms\n", kFiles, gap);
    answers.saveAs = QString::fromStdString((folder / "flats.sjx").string());
    window.SaveProjectAs();
    window.FinishWork();
    gap = longestGap(window, [&] { window.OpenProjectFile(answers.saveAs); });
    std::printf("open a project of those %d files: longest gap %.0f ms\n", kFiles, gap);
  }
  std::filesystem::remove_all(folder);
  return 0;
}
