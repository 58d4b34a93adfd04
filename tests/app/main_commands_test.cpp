#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <filesystem>
#include <functional>
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
    settle();
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
  QTest::keyClick(window->darksPage()->hotEdit(), Qt::Key_Backspace);  // 20: saved before the page's delay ran out

  const std::string project = dir.file("night/m42.sjx");
  dialogs.fileAnswers.push_back(q(project));
  window->action("Save as...")->trigger();
  settle();
  EXPECT_EQ(window->windowTitle(), "Stelp - m42.sjx");
  EXPECT_EQ(dialogs.fileRequests.back().title, "Save Stelp project");
  EXPECT_EQ(dialogs.fileRequests.back().defaultSuffix, "sjx");
  EXPECT_TRUE(dialogs.fileRequests.back().confirmOverwrite);

  window->action("New")->trigger();
  settle();
  EXPECT_EQ(window->windowTitle(), "Stelp");
  EXPECT_EQ(window->model(ListRole::Darks)->rowCount(), 0);
  EXPECT_EQ(window->engine().settings().dark.hot, 200u);
  EXPECT_EQ(window->darksPage()->hotEdit()->text(), "200");

  // Moved with its files, the project still finds them.
  fs::rename(dir.file("night"), dir.file("moved"));
  dialogs.fileAnswers.push_back(q(dir.file("moved/m42.sjx")));
  window->action("Open...")->trigger();
  settle();
  EXPECT_EQ(dialogs.fileRequests.back().title, "Load Stelp project");
  EXPECT_TRUE(dialogs.messages.empty());
  ASSERT_EQ(window->model(ListRole::Darks)->rowCount(), 2);
  EXPECT_FALSE(window->model(ListRole::Darks)->entry(1)->enabled);
  EXPECT_EQ(window->model(ListRole::Images)->entry(0)->path, dir.file("moved/light.bmp"));
  EXPECT_EQ(window->engine().settings().dark.hot, 20u);
  EXPECT_EQ(window->darksPage()->hotEdit()->text(), "20");
  EXPECT_EQ(window->roleSelector()->currentIndex(), 0);
  EXPECT_TRUE(window->list(ListRole::Images)->isVisible());

  // Files found nowhere: the message names them, their entries stay, marked
  // missing, and a save keeps them until they are removed.
  fs::remove(dir.file("moved/light.bmp"));
  fs::remove(dir.file("moved/dark.avi"));
  for (int open = 0; open < 2; ++open) {
    dialogs.messages.clear();
    window->OpenProjectFile(q(dir.file("moved/m42.sjx")));
    settle();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].startsWith("Load Project: Some of the image files could not be loaded"));
    for (const char* name : {"light.bmp", "dark.avi"}) EXPECT_TRUE(dialogs.messages[0].contains(name)) << name;
    ASSERT_EQ(window->model(ListRole::Images)->rowCount(), 1);
    EXPECT_EQ(window->model(ListRole::Images)->index(0).data().toString(), "light.bmp (missing)");
    EXPECT_EQ(window->model(ListRole::Darks)->rowCount(), 2);
    window->SaveProject();
    settle();
  }
  window->list(ListRole::Images)->selectOnly(0);
  window->RemoveSelected();
  settle();
  window->SaveProject();
  settle();
  window->OpenProjectFile(q(dir.file("moved/m42.sjx")));
  settle();
  EXPECT_EQ(window->model(ListRole::Images)->rowCount(), 0);
}

// A file that is not a project, or no file at all, leaves the present
// project as it was and says why.
TEST_F(MainCommandsTest, WhatIsNotAProjectLeavesTheProjectAsItWas) {
  importLights(1);
  const std::string project = dir.file("p.sjx");
  dialogs.fileAnswers.push_back(q(project));
  window->SaveProjectAs();
  settle();
  window->action("Colour processing")->trigger();
  settle();
  writeFile(dir.file("empty.sjx"), Bytes{});
  writeFile(dir.file("random.sjx"), Bytes{0x13, 0x9f, 0x00, 'x', '\n', '=', 0xff});
  const struct {
    const char* name;
    const char* says;
  } cases[] = {{"none.sjx", "does not exist"}, {"empty.sjx", "is not a Stelp project"},
               {"random.sjx", "is not a Stelp project"}};
  for (const auto& c : cases) {
    dialogs.messages.clear();
    window->OpenProjectFile(q(dir.file(c.name)));
    settle();
    ASSERT_EQ(dialogs.messages.size(), 1u) << c.name;
    EXPECT_TRUE(dialogs.messages[0].startsWith("Load Project: " + q(dir.file(c.name)) + "\n" + c.says))
        << dialogs.messages[0].toStdString();
    EXPECT_EQ(window->windowTitle(), "Stelp - p.sjx");
    EXPECT_EQ(window->model(ListRole::Images)->rowCount(), 1);
    EXPECT_TRUE(window->modified());
  }
  EXPECT_EQ(window->projectPath(), project);

  // Numbers out of range are brought into it, and the message says so.
  const std::string odd = "[Flat]\nFilterWidth=-5\n\n[Dark]\nHot=99999999999\n";
  writeFile(dir.file("odd.sjx"), Bytes(odd.begin(), odd.end()));
  dialogs.messages.clear();
  window->OpenProjectFile(q(dir.file("odd.sjx")));
  settle();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].startsWith("Load Project: The project was opened with these changes:\n"));
  EXPECT_TRUE(dialogs.messages[0].contains("Flat.FilterWidth: -5 → 0")) << dialogs.messages[0].toStdString();
  EXPECT_EQ(window->flatsPage()->filterWidthEdit()->text(), "0");
  EXPECT_EQ(window->darksPage()->hotEdit()->text(), "255");
  // Without a FITS scale, as every project saved before the choice, it reads
  // to the brightest pixel; "New" starts on the camera's scale.
  auto* brightest = window->findChild<QAction*>("fitsScaleBrightest");
  auto* camera = window->findChild<QAction*>("fitsScaleCamera");
  ASSERT_TRUE(brightest && camera);
  EXPECT_TRUE(brightest->isChecked() && !camera->isChecked());
  window->action("New")->trigger();
  settle();
  EXPECT_TRUE(camera->isChecked() && !brightest->isChecked());
}

TEST_F(MainCommandsTest, SaveThatCannotWriteReportsAndAsksForAnotherName) {
  fs::create_directory(dir.file("gone"));
  dialogs.fileAnswers.push_back(q(dir.file("gone/p.sjx")));
  window->SaveProject();  // no project yet: "Save as..."
  settle();
  ASSERT_EQ(dialogs.fileRequests.size(), 1u);
  fs::remove_all(dir.file("gone"));

  dialogs.fileAnswers.push_back(q(dir.file("p2.sjx")));
  window->SaveProject();
  settle();
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
  // The naming rules themselves are the export's; the window proposes the
  // name's number and writes from the one confirmed.
  const Case cases[] = {
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

  // Cancelling the sequence dialog reopens the save dialog on the cut name.
  dialogs.fileRequests.clear();
  dialogs.fileAnswers.push_back(q(dir.file("d42.bmp")));
  dialogs.sequenceAnswers.push_back(std::nullopt);
  window->SaveProcessed();
  settle();
  ASSERT_EQ(dialogs.fileRequests.size(), 2u);
  EXPECT_EQ(dialogs.fileRequests[1].initialPath, q(dir.file("d")));
  EXPECT_EQ(dialogs.fileRequests[1].title, "Save processed images");
}

TEST_F(MainCommandsTest, ProcessedExportQuestionsAndMessages) {
  dialogs.messages.clear();
  window->SaveProcessed();
  settle();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Save images: No images to save"});

  importLights(1);
  // One entry and an existing file: "No" reopens the dialog, "Yes" writes.
  const std::string out = writeTestBitmap(dir, "out.bmp", 2, 2);
  dialogs.messages.clear();
  dialogs.fileAnswers = {q(out), q(out)};
  dialogs.messageAnswers = {MessageAnswer::No, MessageAnswer::Yes};
  window->SaveProcessed();
  settle();
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
  settle();
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
  settle();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].startsWith("File conflict: " + q(conflicting) + "\nFile already loaded in the project."))
      << dialogs.messages[0].toStdString();
  EXPECT_EQ(fs::file_size(video), size);
  EXPECT_FALSE(fs::exists(conflicting));

  // Frames that do not load are passed over and named in one message.
  const std::string light = window->model(ListRole::Images)->entry(0)->path;
  writeFile(light, Bytes{'x'});
  fs::create_directory(dir.file("seq"));
  dialogs.messages.clear();
  saveProcessed("seq/s.bmp");
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].startsWith("Save images: 1 of 3 frames could not be loaded:\n  " + q(light) + ": "))
      << dialogs.messages[0].toStdString();
  EXPECT_EQ(filesIn(dir.file("seq")).size(), 2u);
}

TEST_F(MainCommandsTest, MasterFrameMessages) {
  window->action("Save dark average")->trigger();
  settle();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Save Darkframe: Nothing to save!"});
  EXPECT_TRUE(dialogs.fileRequests.empty());

  import(ListRole::Flats, {q(writeTestBitmap(dir, "flat.bmp", 8, 6, 180))});
  dialogs.messages.clear();
  dialogs.fileAnswers.push_back(q(dir.file("flat.avi")));
  window->action("Save flat average")->trigger();
  settle();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Save Flatframe: Unknown file format"});

  // Nor may a master frame overwrite a source of any list.
  const std::string flatSource = dir.file("flat.bmp");
  const auto flatBytes = readFile(flatSource);
  dialogs.messages.clear();
  dialogs.fileAnswers.push_back(q(flatSource));
  window->action("Save flat average")->trigger();
  settle();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].startsWith("Save Flatframe: " + q(flatSource) + "\nFile already loaded in the project."));
  EXPECT_EQ(readFile(flatSource), flatBytes);

  dialogs.fileAnswers.push_back(q(dir.file("syn.fits")));
  window->action("Save synthetic flat")->trigger();
  settle();
  EXPECT_EQ(dialogs.fileRequests.back().title, "Save Synthetic Flatframe");
  EXPECT_EQ(dialogs.fileRequests.back().filters.size(), 5u);
  ImageSlot flat;
  EXPECT_TRUE(readFits(dir.file("syn.fits"), PixelFormat::Gray8, flat));
}

// The master dialog proposes the product's own name; a name typed without an
// extension of a kind Stelp writes takes the kind of the chosen filter.
TEST_F(MainCommandsTest, ChosenFilterDecidesTheKindOfANameWithoutExtension) {
  importLights(2);
  import(ListRole::Darks, {q(writeTestBitmap(dir, "dark.bmp", 8, 6, 3))});
  fs::create_directories(dir.file("night"));
  fs::create_directories(dir.file("masters"));
  dialogs.fileAnswers = {q(dir.file("night/m42.sjx")), std::nullopt, q(dir.file("masters/m"))};
  dialogs.filterChoices = {1, 1, 2};
  window->SaveProjectAs();
  settle();
  window->SaveDarkAverage();
  settle();
  window->SaveDarkAverage();
  settle();
  window->SaveDarkAverage();
  settle();
  ASSERT_EQ(dialogs.fileRequests.size(), 4u);
  EXPECT_EQ(dialogs.fileRequests[1].initialPath, q(dir.file("night/m42_dark.bmp")));
  ImageSlot master;
  EXPECT_TRUE(readFits(dir.file("masters/m.fits"), PixelFormat::Gray8, master));
  // Then in the folder last saved to, of the kind last chosen.
  EXPECT_EQ(dialogs.fileRequests[3].initialPath, q(dir.file("masters/m42_dark.fits")));

  struct Case {
    int32_t filter;
    std::string typed;
    std::vector<std::string> written;
  };
  const Case cases[] = {
      {1, "a/moon", {"moon_000.bmp", "moon_001.bmp"}},
      {4, "c/moon.v2", {"moon.v2.avi"}},
      {4, "d/moon.fit", {"moon_000.fit", "moon_001.fit"}},
      {6, "e/moon", {"moon_000.fits", "moon_001.fits"}},
  };
  for (const Case& c : cases) {
    fs::create_directories(fs::path(dir.file(c.typed)).parent_path());
    dialogs.filterChoices.push_back(c.filter);
    saveProcessed(c.typed);
    EXPECT_EQ(filesIn(fs::path(dir.file(c.typed)).parent_path().string()), c.written) << c.typed;
  }
  EXPECT_TRUE(dialogs.fileRequests.back().defaultSuffix.isEmpty());
}

// New, Open and closing ask before unsaved changes are lost; every kind of
// change counts, and a save clears it.
TEST_F(MainCommandsTest, UnsavedChangesAreAskedAbout) {
  window->action("New")->trigger();
  settle();
  EXPECT_TRUE(dialogs.messages.empty());
  importLights(2);
  const QString question = "Stelp: Save changes to Untitled?";
  dialogs.messageAnswers = {MessageAnswer::Cancel};
  window->action("New")->trigger();
  settle();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{question});
  EXPECT_EQ(window->model(ListRole::Images)->rowCount(), 2);
  // "Save" whose save dialog is cancelled keeps the window open.
  dialogs.messageAnswers = {MessageAnswer::Save};
  EXPECT_FALSE(window->close());
  const std::string project = dir.file("p.sjx");
  dialogs.messageAnswers = {MessageAnswer::Save};
  dialogs.fileAnswers = {q(project)};
  EXPECT_TRUE(window->close());
  EXPECT_TRUE(fs::exists(project));
  EXPECT_FALSE(window->modified());
  window->show();

  struct Change {
    const char* name;
    std::function<void()> make;
  };
  const Change changes[] = {
      {"import", [&] { import(ListRole::Darks, {q(writeTestBitmap(dir, "dark.bmp", 8, 6, 3))}); }},
      {"remove", [&] { window->RemoveSelected(); }},
      {"toggle", [&] { window->ToggleSelected(ListRole::Images); }},
      {"colour", [&] { window->action("Colour processing")->trigger(); }},
      {"FITS scale", [&] { window->findChild<QAction*>("fitsScaleBrightest")->trigger(); }},
      {"page edit", [&] { QTest::keyClick(window->darksPage()->hotEdit(), Qt::Key_Backspace); }},
  };
  for (const Change& change : changes) {
    window->OpenProjectFile(q(project));
    settle();
    ASSERT_FALSE(window->modified()) << change.name;
    window->list(ListRole::Images)->selectOnly(0);
    change.make();
    EXPECT_TRUE(window->modified()) << change.name;
  }
  dialogs.messages.clear();
  dialogs.messageAnswers = {MessageAnswer::Discard};
  dialogs.fileAnswers = {std::nullopt};
  window->action("Open...")->trigger();
  settle();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Stelp: Save changes to p.sjx?"});
  EXPECT_EQ(dialogs.fileRequests.back().title, "Load Stelp project");
  // A page edit saved before its delay ran out leaves nothing unsaved.
  window->SaveProject();
  settle();
  EXPECT_FALSE(window->modified());
  EXPECT_EQ(window->engine().settings().dark.hot, 20u);
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
  dialogs.filterChoices = {6, 5};  // the float FITS filters
  window->SaveProcessed();
  settle();
  window->SaveDarkAverage();
  settle();
  EXPECT_EQ(filesIn(dir.file("out")), std::vector<std::string>({"dark.fit", "f_000.fit", "f_001.fit"}));
  for (const char* name : {"out/dark.fit", "out/f_000.fit"}) {
    const Bytes header = readFile(dir.file(name));
    EXPECT_NE(std::string(header.begin(), header.end()).find("BITPIX  =                  -32"), std::string::npos)
        << name;
  }

  window->setGeometry(40, 30, 500, 400);
  window->showMaximized();
  settle();
  window.reset();  // tear-down saves the settings file and releases every entry and product
  ASSERT_TRUE(fs::exists(settings));

  open(settings);
  EXPECT_EQ(dialogs.welcomes, 1);
  EXPECT_EQ(window->processedFilterIndex(), 6);
  EXPECT_EQ(window->masterFilterIndex(), 5);
  EXPECT_EQ(window->geometry(), QRect(40, 30, 500, 400));
  EXPECT_EQ(window->launchCounter(), 1);
  // The dialogs start on the filters chosen in the last run.
  importLights(2);
  dialogs.fileAnswers.push_back(std::nullopt);
  window->SaveProcessed();
  settle();
  EXPECT_EQ(dialogs.fileRequests.back().filterIndex, 6);
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
  settle();
  EXPECT_EQ(dialogs.reminders.back(), 21);
  EXPECT_EQ(dialogs.urls.size(), 1);
  EXPECT_EQ(window->launchCounter(), 21);
}

}  // namespace
}  // namespace stelp::test
