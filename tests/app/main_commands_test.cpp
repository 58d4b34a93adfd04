#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <filesystem>
#include <memory>

#include "app/main_dialog.h"
#include "app/settings_pages.h"
#include "app/source_list_view.h"
#include "app_test_util.h"
#include "image/fits.h"
#include "persist/ini.h"
#include "persist/launch_counter.h"

namespace stelp::test {
namespace {

namespace fs = std::filesystem;

class MainCommandsTest : public ::testing::Test {
 protected:
  TempDir dir;
  FakeDialogs dialogs;
  std::unique_ptr<MainDialog> window;

  void open(const std::string& settingsPath = "") {
    window = std::make_unique<MainDialog>(dialogs, settingsPath);
    window->show();
    settle();
  }
  void SetUp() override { open(); }

  void import(ListRole role, const QStringList& paths) {
    window->roleSelector()->setCurrentIndex(static_cast<int>(role));
    dialogs.importAnswers.push_back(paths);
    window->ImportFiles();
    settle();
  }
  void importLights(int count) {
    QStringList names;
    for (int i = 0; i < count; ++i) names << q(writeTestBitmap(dir, "light" + std::to_string(i) + ".bmp", 8, 6));
    import(ListRole::Images, names);
  }
  // Runs "Save processed" answering the save dialog with `name` in the
  // temporary folder.
  void saveProcessed(const std::string& name) {
    dialogs.fileAnswers.push_back(q(dir.file(name)));
    window->SaveProcessed();
  }
  std::vector<std::string> filesIn(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(MainCommandsTest, ProjectsSaveNewAndOpenBack) {
  fs::create_directory(dir.file("night"));
  const std::string light = writeTestBitmap(dir, "night/light.bmp", 8, 6);
  const std::string dark = writeTestAvi(dir, "night/dark.avi", 8, 6, 2);
  import(ListRole::Images, {q(light)});
  import(ListRole::Darks, {q(dark)});
  window->model(ListRole::Darks)->setEnabled(1, false);
  QTest::keyClicks(window->darksPage()->hotEdit(), "5");  // 2005: saved before the page's delay ran out

  const std::string project = dir.file("night/m42.sjx");
  dialogs.fileAnswers.push_back(q(project));
  window->action("Save as...")->trigger();
  EXPECT_EQ(window->windowTitle(), "Stelp - m42.sjx");
  EXPECT_EQ(dialogs.fileRequests.back().title, "Save Stelp project");
  EXPECT_EQ(dialogs.fileRequests.back().defaultSuffix, "sjx");
  EXPECT_TRUE(dialogs.fileRequests.back().confirmOverwrite);

  window->action("New")->trigger();
  EXPECT_EQ(window->windowTitle(), "Stelp");
  EXPECT_EQ(window->model(ListRole::Darks)->rowCount(), 0);
  EXPECT_EQ(window->engine().settings.dark.hot, 200u);
  EXPECT_EQ(window->darksPage()->hotEdit()->text(), "200");

  // Moved with its files, the project still finds them.
  fs::rename(dir.file("night"), dir.file("moved"));
  dialogs.fileAnswers.push_back(q(dir.file("moved/m42.sjx")));
  window->action("Open...")->trigger();
  EXPECT_EQ(dialogs.fileRequests.back().title, "Load Stelp project");
  EXPECT_TRUE(dialogs.messages.empty());
  ASSERT_EQ(window->model(ListRole::Darks)->rowCount(), 2);
  EXPECT_FALSE(window->model(ListRole::Darks)->entry(1)->enabled);
  EXPECT_EQ(window->model(ListRole::Images)->entry(0)->path, dir.file("moved/light.bmp"));
  EXPECT_EQ(window->engine().settings.dark.hot, 2005u);
  EXPECT_EQ(window->darksPage()->hotEdit()->text(), "2005");
  EXPECT_EQ(window->roleSelector()->currentIndex(), 0);
  EXPECT_TRUE(window->list(ListRole::Images)->isVisible());

  // A file found nowhere: the entry is left out and the message shows once.
  fs::remove(dir.file("moved/light.bmp"));
  fs::remove(dir.file("moved/dark.avi"));
  window->OpenProjectFile(q(dir.file("moved/m42.sjx")));
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Load Project: Some of the image files could not be loaded"});
  EXPECT_EQ(window->model(ListRole::Images)->rowCount(), 0);
}

TEST_F(MainCommandsTest, SaveThatCannotWriteReportsAndAsksForAnotherName) {
  fs::create_directory(dir.file("gone"));
  dialogs.fileAnswers.push_back(q(dir.file("gone/p.sjx")));
  window->SaveProject();  // no project yet: "Save as..."
  ASSERT_EQ(dialogs.fileRequests.size(), 1u);
  fs::remove_all(dir.file("gone"));

  dialogs.fileAnswers.push_back(q(dir.file("p2.sjx")));
  window->SaveProject();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].contains(q(dir.file("gone/p.sjx")))) << dialogs.messages[0].toStdString();
  EXPECT_EQ(dialogs.fileRequests.size(), 2u);
  EXPECT_TRUE(fs::exists(dir.file("p2.sjx")));
  EXPECT_EQ(window->windowTitle(), "Stelp - p2.sjx");
}

TEST_F(MainCommandsTest, SequenceNamesAndNumbers) {
  importLights(3);
  struct Case {
    std::string chosen;
    uint32_t proposed;
    std::vector<std::string> written;
  };
  const Case cases[] = {
      {"a/moon.bmp", 0, {"moon_000.bmp", "moon_001.bmp", "moon_002.bmp"}},
      {"b/m42.bmp", 42, {"m042.bmp", "m043.bmp", "m044.bmp"}},
      {"c/m42-17.fit", 17, {"m42-017.fit", "m42-018.fit", "m42-019.fit"}},
  };
  for (const Case& c : cases) {
    fs::create_directories(fs::path(dir.file(c.chosen)).parent_path());
    dialogs.proposedNumbers.clear();
    saveProcessed(c.chosen);
    EXPECT_EQ(dialogs.proposedNumbers, std::vector<uint32_t>{c.proposed});
    EXPECT_EQ(filesIn(fs::path(dir.file(c.chosen)).parent_path().string()), c.written) << c.chosen;
  }
  EXPECT_EQ(window->statusLine()->text(), "Ready");
  EXPECT_FALSE(window->engine().exportPreview);

  // Cancelling the sequence dialog reopens the save dialog on the cut name.
  dialogs.fileRequests.clear();
  dialogs.fileAnswers.push_back(q(dir.file("d42.bmp")));
  dialogs.sequenceAnswers.push_back(std::nullopt);
  window->SaveProcessed();
  ASSERT_EQ(dialogs.fileRequests.size(), 2u);
  EXPECT_EQ(dialogs.fileRequests[1].initialPath, q(dir.file("d")));
  EXPECT_EQ(dialogs.fileRequests[1].title, "Save processed images");
}

TEST_F(MainCommandsTest, ProcessedExportQuestionsAndMessages) {
  dialogs.messages.clear();
  window->SaveProcessed();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Save images: No images to save"});

  importLights(1);
  // One entry and an existing file: "No" reopens the dialog, "Yes" writes.
  const std::string out = writeTestBitmap(dir, "out.bmp", 2, 2);
  dialogs.messages.clear();
  dialogs.fileAnswers = {q(out), q(out)};
  dialogs.messageAnswers = {MessageAnswer::No, MessageAnswer::Yes};
  window->SaveProcessed();
  EXPECT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[0], "Save images: " + q(out) + " already exists.\nDo you want to replace it?");
  EXPECT_EQ(dialogs.fileRequests.back().filters[0].label, "Bitmap file (.bmp)");
  ImageSlot written;
  ASSERT_TRUE(readBitmap(out, PixelFormat::Gray8, written));
  EXPECT_EQ(written->width, 8);

  // A file that cannot be written ends the export with its name.
  dialogs.messages.clear();
  dialogs.fileAnswers.push_back(q(dir.file("missing/x.fits")));
  window->SaveProcessed();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].contains(q(dir.file("missing/x.fits"))));

  // Writing a video over a source is refused, whatever the case of the name.
  const std::string video = writeTestAvi(dir, "cap.avi", 8, 6, 2);
  import(ListRole::Images, {q(video)});
  const auto size = fs::file_size(video);
  const std::string conflicting = video.substr(0, video.size() - 3) + "AVI";
  dialogs.messages.clear();
  dialogs.fileAnswers.push_back(q(conflicting));
  window->SaveProcessed();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].startsWith("File conflict: " + q(conflicting) +
                                             "\nFile already loaded in the image list."));
  EXPECT_EQ(fs::file_size(video), size);
  EXPECT_FALSE(fs::exists(conflicting));
}

TEST_F(MainCommandsTest, MasterFrameMessages) {
  window->action("Save dark average")->trigger();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Save Darkframe: Nothing to save!"});
  EXPECT_TRUE(dialogs.fileRequests.empty());

  import(ListRole::Flats, {q(writeTestBitmap(dir, "flat.bmp", 8, 6, 180))});
  dialogs.messages.clear();
  dialogs.fileAnswers.push_back(q(dir.file("flat.tif")));
  window->action("Save flat average")->trigger();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Save Flatframe: Unknown file format"});

  dialogs.fileAnswers.push_back(q(dir.file("syn.fits")));
  window->action("Save synthetic flat")->trigger();
  EXPECT_EQ(dialogs.fileRequests.back().title, "Save Synthetic Flatframe");
  EXPECT_EQ(dialogs.fileRequests.back().filters.size(), 4u);
  ImageSlot flat;
  EXPECT_TRUE(readFits(dir.file("syn.fits"), PixelFormat::Gray8, flat));
}

TEST_F(MainCommandsTest, SettingsFileKeepsFiltersWindowAndCounter) {
  const std::string settings = dir.file("config/Stelp.ini");
  window.reset();
  dialogs.welcomes = 0;
  open(settings);
  EXPECT_EQ(dialogs.welcomes, 1);
  importLights(2);
  import(ListRole::Darks, {q(writeTestBitmap(dir, "dark.bmp", 8, 6, 3))});
  fs::create_directory(dir.file("out"));
  dialogs.fileAnswers = {q(dir.file("out/f.fit")), q(dir.file("out/dark.fit"))};
  dialogs.filterChoices = {3, 2};
  window->SaveProcessed();
  window->SaveDarkAverage();
  EXPECT_EQ(filesIn(dir.file("out")), std::vector<std::string>({"dark.fit", "f_000.fit", "f_001.fit"}));

  window->setGeometry(40, 30, 500, 400);
  window->showMaximized();
  settle();
  window.reset();  // tear-down saves the settings file and releases every entry and product
  ASSERT_TRUE(fs::exists(settings));

  open(settings);
  EXPECT_EQ(dialogs.welcomes, 1);
  EXPECT_EQ(window->processedFilterIndex(), 3);
  EXPECT_EQ(window->masterFilterIndex(), 2);
  EXPECT_EQ(window->geometry(), QRect(40, 30, 500, 400));
  EXPECT_EQ(window->launchCounter(), 1);
  // The dialogs start on the filters chosen in the last run.
  importLights(2);
  dialogs.fileAnswers.push_back(std::nullopt);
  window->SaveProcessed();
  EXPECT_EQ(dialogs.fileRequests.back().filterIndex, 3);
}

TEST_F(MainCommandsTest, ReminderOnTheTenthCountedDay) {
  const std::string settings = dir.file("Stelp.ini");
  const CalendarDay today = localToday();
  const CalendarDay yesterday{today.day == 1 ? 2 : 1, today.month};
  IniFile ini;
  ini.set("Settings", "Flags", std::to_string(packFlags(18, yesterday)));
  ini.set("Settings", "Filter", "32");
  // A place no screen shows any more (a monitor was unplugged).
  for (const auto& [key, value] : {std::pair{"X", "5000"}, {"Y", "4000"}, {"W", "500"}, {"H", "400"}})
    ini.set("Window", key, value);
  ASSERT_TRUE(writeFileAtomically(settings, ini.serialise()));
  window.reset();
  dialogs.reminderAnswer = ReminderChoice::AlreadyDonated;
  open(settings);
  EXPECT_EQ(dialogs.reminders, std::vector<int32_t>{20});
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Stelp: Thank you for your support!"});
  EXPECT_EQ(window->launchCounter(), 21);
  EXPECT_EQ(window->processedFilterIndex(), 2);
  EXPECT_EQ(window->masterFilterIndex(), 3);
  EXPECT_TRUE(window->screen()->availableGeometry().intersects(window->geometry()));
  EXPECT_EQ(window->size(), QSize(500, 400));

  // "Payment" shows it at any time; visiting the site opens the page.
  dialogs.reminderAnswer = ReminderChoice::VisitWebsite;
  window->action("Payment")->trigger();
  EXPECT_EQ(dialogs.reminders.back(), 21);
  EXPECT_EQ(dialogs.urls.size(), 1);
  EXPECT_EQ(window->launchCounter(), 21);
}

}  // namespace
}  // namespace stelp::test
