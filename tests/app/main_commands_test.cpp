#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFileInfo>
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

  void import(ListRole role, const QStringList& paths) { importFiles(*window, dialogs, role, paths); }
  void importLights(int count) {
    QStringList names;
    for (int i = 0; i < count; ++i) names << q(writeTestBitmap(dir, "light" + std::to_string(i) + ".bmp", 8, 6));
    import(ListRole::Images, names);
  }
};

// A save that cannot write says so and asks for another name. A file that is
// not a project leaves the present project as it was and says why; one whose
// numbers were brought into range says what changed.
TEST_F(MainCommandsTest, SaveAndOpenFailures) {
  importLights(1);
  fs::create_directory(dir.file("gone"));
  dialogs.fileAnswers = {q(dir.file("gone/p.sjx")), q(dir.file("p.sjx"))};
  window->SaveProject();  // no project yet: "Save as..."
  settle();
  fs::remove_all(dir.file("gone"));
  window->SaveProject();
  settle();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].contains(q(dir.file("gone/p.sjx")))) << dialogs.messages[0].toStdString();
  EXPECT_EQ(dialogs.fileRequests.size(), 2u);
  window->action("Colour processing")->trigger();
  settle();
  writeFile(dir.file("random.sjx"), Bytes{0x13, 0x9f, 0x00, 'x', '\n', '=', 0xff});
  for (const auto& [name, says] : {std::pair{"none.sjx", "does not exist"}, {"random.sjx", "is not a Stelp project"}}) {
    dialogs.messages.clear();
    window->OpenProjectFile(q(dir.file(name)));
    settle();
    EXPECT_TRUE(dialogs.messages.size() == 1 && dialogs.messages[0].startsWith("Load Project: " + q(dir.file(name)) +
                                                                               "\n" + says))
        << name;
    EXPECT_EQ(window->windowTitle(), "Stelp - p.sjx");
    EXPECT_TRUE(window->modified());
  }

  const std::string odd = "[Dark]\nHot=99999999999\n";
  writeFile(dir.file("odd.sjx"), Bytes(odd.begin(), odd.end()));
  dialogs.messages.clear();
  window->OpenProjectFile(q(dir.file("odd.sjx")));
  settle();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].startsWith("Load Project: The project was opened with these changes:\nDark.Hot"));
  // Without a FITS scale, as every project saved before the choice, it reads
  // to the brightest pixel; "New" starts on the camera's scale.
  auto* brightest = window->findChild<QAction*>("fitsScaleBrightest");
  auto* camera = window->findChild<QAction*>("fitsScaleCamera");
  EXPECT_TRUE(brightest->isChecked() && !camera->isChecked());
  window->action("New")->trigger();
  settle();
  EXPECT_TRUE(camera->isChecked() && !brightest->isChecked());
}

// The window proposes the name's number and writes from the one confirmed;
// a name typed without an extension of a kind Stelp writes takes the kind
// of the chosen filter. The naming rules themselves are the export's.
TEST_F(MainCommandsTest, SequenceNumbersAndTheChosenFilter) {
  importLights(3);
  const struct {
    int32_t filter;
    std::string typed;
    std::vector<uint32_t> proposed;
    std::vector<std::string> written;
  } cases[] = {
      {1, "a/moon", {0}, {"a/moon_000.bmp"}},
      {4, "c/moon.v2", {}, {"c/moon.v2.avi"}},
      {7, "f/moon", {}, {"f/moon.ser"}},
      {6, "e/m42", {42}, {"e/m042.fits", "e/m043.fits", "e/m044.fits"}},
  };
  for (const auto& c : cases) {
    fs::create_directories(fs::path(dir.file(c.typed)).parent_path());
    dialogs.proposedNumbers.clear();
    dialogs.filterChoices.push_back(c.filter);
    dialogs.fileAnswers.push_back(q(dir.file(c.typed)));
    window->SaveProcessed();
    settle();
    EXPECT_EQ(dialogs.proposedNumbers, c.proposed) << c.typed;
    for (const std::string& name : c.written) EXPECT_TRUE(fs::exists(dir.file(name))) << name;
  }
  EXPECT_TRUE(dialogs.fileRequests.back().defaultSuffix.isEmpty());
  // The status line says what the export wrote until the next command.
  const QString wrote = window->statusLine()->text();
  EXPECT_TRUE(wrote.contains("3 files") && wrote.contains(q(dir.file("e")))) << wrote.toStdString();
  window->roleSelector()->setCurrentIndex(1);
  settle();
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

  // Frames that do not load are passed over and named in one message.
  writeFile(window->model(ListRole::Images)->entry(0)->path, Bytes{'x'});
  dialogs.messages.clear();
  dialogs.fileAnswers.push_back(q(dir.file("f.bmp")));
  window->SaveProcessed();
  settle();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].startsWith("Save images: 1 of 3 frames")) << dialogs.messages[0].toStdString();
}

TEST_F(MainCommandsTest, ProcessedExportQuestionsAndMessages) {
  window->action("Save processed")->trigger();
  settle();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Save images: No images to save"});

  importLights(1);
  // One entry and an existing file: "No" reopens the dialog, "Yes" writes.
  const std::string out = writeTestBitmap(dir, "out.bmp", 2, 2);
  const auto smallSize = fs::file_size(out);
  dialogs.messages.clear();
  dialogs.fileAnswers = {q(out), q(out)};
  dialogs.messageAnswers = {MessageAnswer::No, MessageAnswer::Yes};
  window->SaveProcessed();
  settle();
  EXPECT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[0], "Save images: " + q(out) + " already exists.\nDo you want to replace it?");
  EXPECT_EQ(dialogs.fileRequests.back().filters[0].label, "Bitmap file (.bmp)");
  EXPECT_NE(fs::file_size(out), smallSize);

  // A file that cannot be written, or that is a source, ends the export
  // with its name.
  const std::string light = window->model(ListRole::Images)->entry(0)->path;
  for (const std::string& path : {dir.file("missing/x.fits"), light}) {
    dialogs.messages.clear();
    dialogs.fileAnswers.push_back(q(path));
    window->SaveProcessed();
    settle();
    EXPECT_TRUE(dialogs.messages.size() == 1 && dialogs.messages[0].contains(q(path))) << path;
  }
  EXPECT_TRUE(dialogs.messages[0].startsWith("File conflict: "));
}

TEST_F(MainCommandsTest, MasterFrames) {
  window->action("Save dark average")->trigger();
  settle();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Save Darkframe: Nothing to save!"});
  EXPECT_TRUE(dialogs.fileRequests.empty());

  // The proposed name is the project's with the product's suffix; then in the
  // folder last saved to, of the kind last chosen.
  import(ListRole::Darks, {q(writeTestBitmap(dir, "dark.bmp", 8, 6, 3))});
  fs::create_directories(dir.file("night"));
  fs::create_directories(dir.file("masters"));
  dialogs.fileAnswers = {q(dir.file("night/m42.sjx")), std::nullopt, q(dir.file("masters/m"))};
  dialogs.filterChoices = {1, 1, 2};
  window->SaveProjectAs();
  for (int i = 0; i < 3; ++i) window->SaveDarkAverage();
  settle();
  ASSERT_EQ(dialogs.fileRequests.size(), 4u);
  EXPECT_EQ(dialogs.fileRequests[1].initialPath, q(dir.file("night/m42_dark.bmp")));
  EXPECT_TRUE(fs::exists(dir.file("masters/m.fits")));
  EXPECT_EQ(dialogs.fileRequests[3].initialPath, q(dir.file("masters/m42_dark.fits")));

  const std::string flat = writeTestBitmap(dir, "flat.bmp", 8, 6, 180);
  import(ListRole::Flats, {q(flat)});
  dialogs.messages.clear();
  dialogs.fileAnswers = {q(dir.file("flat.avi")), q(flat)};
  for (int i = 0; i < 2; ++i) {
    window->action("Save flat average")->trigger();
    settle();
  }
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[0], "Save Flatframe: Unknown file format");
  EXPECT_TRUE(dialogs.messages[1].startsWith("Save Flatframe: " + q(flat) + "\nFile already loaded in the project."));

  dialogs.fileAnswers.push_back(q(dir.file("syn.fits")));
  window->action("Save synthetic flat")->trigger();
  settle();
  EXPECT_EQ(dialogs.fileRequests.back().title, "Save Synthetic Flatframe");
  EXPECT_TRUE(fs::exists(dir.file("syn.fits")));
}

// New, Open and closing ask before unsaved changes are lost; every kind of
// change counts, and a save clears it. A project opens with its lists, pages
// and missing files.
TEST_F(MainCommandsTest, ProjectsAndUnsavedChanges) {
  window->action("New")->trigger();
  settle();
  EXPECT_TRUE(dialogs.messages.empty());
  fs::create_directory(dir.file("night"));
  import(ListRole::Images, {q(writeTestBitmap(dir, "night/light.bmp", 8, 6))});
  import(ListRole::Darks, {q(writeTestAvi(dir, "night/dark.avi", 8, 6, 2))});
  dialogs.messageAnswers = {MessageAnswer::Cancel};
  window->action("New")->trigger();
  settle();
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Stelp: Save changes to Untitled?"});
  EXPECT_EQ(window->model(ListRole::Images)->rowCount(), 1);
  // "Save" whose save dialog is cancelled keeps the window open.
  dialogs.messageAnswers = {MessageAnswer::Save};
  EXPECT_FALSE(window->close());
  const std::string project = dir.file("night/p.sjx");
  dialogs.messageAnswers = {MessageAnswer::Save};
  dialogs.fileAnswers = {q(project)};
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(window->modified());
  EXPECT_EQ(window->windowTitle(), "Stelp - p.sjx");
  EXPECT_EQ(dialogs.fileRequests.back().defaultSuffix, "sjx");
  EXPECT_TRUE(dialogs.fileRequests.back().confirmOverwrite);
  window->show();

  const std::pair<const char*, std::function<void()>> changes[] = {
      {"import", [&] { importLights(1); }},
      {"remove", [&] { window->RemoveSelected(); }},
      {"toggle", [&] { window->ToggleSelected(ListRole::Images); }},
      {"colour", [&] { window->action("Colour processing")->trigger(); }},
      {"FITS scale", [&] { window->findChild<QAction*>("fitsScaleBrightest")->trigger(); }},
      {"page edit", [&] { QTest::keyClick(window->darksPage()->hotEdit(), Qt::Key_Backspace); }},
  };
  for (const auto& [name, make] : changes) {
    window->OpenProjectFile(q(project));
    settle();
    ASSERT_FALSE(window->modified()) << name;
    window->list(ListRole::Images)->selectOnly(0);
    make();
    EXPECT_TRUE(window->modified()) << name;
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

  window->action("New")->trigger();
  settle();
  EXPECT_EQ(window->windowTitle(), "Stelp");
  EXPECT_EQ(window->model(ListRole::Darks)->rowCount(), 0);
  EXPECT_EQ(window->darksPage()->hotEdit()->text(), "200");
  // Moved with its files, the project still finds them; files found nowhere
  // are named in one message, and their entries stay.
  fs::rename(dir.file("night"), dir.file("moved"));
  fs::remove(dir.file("moved/light.bmp"));
  dialogs.messages.clear();
  window->roleSelector()->setCurrentIndex(2);
  window->OpenProjectFile(q(dir.file("moved/p.sjx")));
  settle();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].startsWith("Load Project: ") && dialogs.messages[0].endsWith("light.bmp"));
  EXPECT_EQ(window->model(ListRole::Images)->rowCount(), 1);
  EXPECT_EQ(window->model(ListRole::Darks)->entry(1)->path, dir.file("moved/dark.avi"));
  EXPECT_EQ(window->darksPage()->hotEdit()->text(), "20");
  EXPECT_EQ(window->roleSelector()->currentIndex(), 0);
  EXPECT_TRUE(window->list(ListRole::Images)->isVisible());
}

// Each kind of file dialog starts in the folder last chosen for that kind,
// across a restart, rather than in the project's folder.
TEST_F(MainCommandsTest, DialogsStartInTheFolderLastUsedForTheirKind) {
  const std::string settings = dir.file("config/Stelp.ini");
  window.reset();
  open(settings);
  for (const char* folder : {"night", "projects", "out", "masters"}) fs::create_directories(dir.file(folder));
  import(ListRole::Images, {q(writeTestBitmap(dir, "night/light.bmp", 8, 6))});
  import(ListRole::Darks, {q(writeTestBitmap(dir, "night/dark.bmp", 8, 6, 3))});
  dialogs.fileAnswers = {q(dir.file("projects/p.sjx")), q(dir.file("out/f.bmp")), q(dir.file("masters/d.bmp"))};
  window->SaveProjectAs();
  window->SaveProcessed();
  window->SaveDarkAverage();
  settle();
  window.reset();
  open(settings);
  dialogs.fileRequests.clear();
  // Without a project the fallback would be the home folder; with it, the
  // project's folder.
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { window->ImportFiles(); }, "night"},
      {[&] { window->action("Open...")->trigger(); }, "projects"},
      {[&] {
         window->OpenProjectFile(q(dir.file("projects/p.sjx")));
         settle();
         window->SaveProcessed();
       },
       "out"},
      {[&] { window->SaveDarkAverage(); }, "masters"},
  };
  for (const auto& [show, folder] : cases) {
    show();
    settle();
    const QString start = dialogs.fileRequests.empty() ? dialogs.importFolders.back()
                                                        : dialogs.fileRequests.back().initialPath;
    EXPECT_TRUE(start == q(dir.file(folder)) || QFileInfo(start).absolutePath() == q(dir.file(folder)))
        << folder << ": " << start.toStdString();
  }
}

// The settings file keeps the export filters, the window's place and the
// launch counter; the tenth counted day brings the reminder.
TEST_F(MainCommandsTest, SettingsFileKeepsFiltersWindowAndCounter) {
  const std::string settings = dir.file("config/Stelp.ini");
  window.reset();
  open(settings);
  EXPECT_EQ(dialogs.welcomes, 1);
  importLights(2);
  import(ListRole::Darks, {q(writeTestBitmap(dir, "dark.bmp", 8, 6, 3))});
  dialogs.fileAnswers = {q(dir.file("f.fit")), q(dir.file("dark.fit"))};
  dialogs.filterChoices = {6, 5};  // the float FITS filters
  window->SaveProcessed();
  window->SaveDarkAverage();
  settle();
  for (const char* name : {"dark.fit", "f_000.fit"}) {
    const Bytes header = readFile(dir.file(name));
    EXPECT_NE(std::string(header.begin(), header.end()).find("BITPIX  =                  -32"), std::string::npos)
        << name;
  }
  window->setGeometry(40, 30, 500, 400);
  window->showMaximized();
  settle();
  window.reset();  // tear-down saves the settings file and releases every entry and product
  open(settings);
  EXPECT_EQ(dialogs.welcomes, 1);
  EXPECT_EQ(window->geometry(), QRect(40, 30, 500, 400));
  EXPECT_EQ(window->launchCounter(), 1);
  EXPECT_EQ(window->processedFilterIndex(), 6);
  EXPECT_EQ(window->masterFilterIndex(), 5);

  // Counted 18 times up to yesterday, in a place no screen shows any more.
  window.reset();
  IniFile ini;
  ASSERT_TRUE(readIniFile(settings, ini));
  const CalendarDay today = localToday();
  ini.set("Settings", "Flags", std::to_string(packFlags(18, CalendarDay{today.day == 1 ? 2 : 1, today.month})));
  ini.set("Settings", "Filter", "32");
  ini.set("Window", "X", "5000");
  ASSERT_TRUE(writeFileAtomically(settings, ini.serialise()));
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
}

}  // namespace
}  // namespace stelp::test
