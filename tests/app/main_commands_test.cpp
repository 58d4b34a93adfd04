#include <QFileInfo>
#include <QScreen>
#include <tuple>

#include "app_test_util.h"
#include "persist/ini.h"
#include "persist/launch_counter.h"

namespace stelp::test {
namespace {

namespace fs = std::filesystem;

class MainCommandsTest : public WindowTest {
 protected:
  void importLights(int count) {
    QStringList names;
    for (int i = 0; i < count; ++i) names << q(writeTestBitmap(dir, "light" + std::to_string(i) + ".bmp", 8, 6));
    import(ListRole::Images, names);
  }
  QString openProject(const std::string& name) {
    return onlyMessage([&] { window->OpenProjectFile(q(dir.file(name))); });
  }
  // The export, or the menu command with this text, to the file `name` answered in the save dialog.
  QString save(const std::string& name, const QString& command = "Save processed") {
    dialogs.fileAnswers.push_back(q(dir.file(name)));
    return onlyMessage([&] { trigger(command); });
  }
};

// A save that cannot write says so and asks for another name. A file that is not a project leaves the present project
// as it was and says why; one whose numbers were brought into range says what changed.
TEST_F(MainCommandsTest, SaveAndOpenFailures) {
  importLights(1);
  fs::create_directory(dir.file("gone"));
  dialogs.fileAnswers = {q(dir.file("gone/p.sjx")), q(dir.file("p.sjx"))};
  window->SaveProject();  // no project yet: "Save as..."
  settle();
  fs::remove_all(dir.file("gone"));
  EXPECT_TRUE(onlyMessage([&] { window->SaveProject(); }).contains(q(dir.file("gone/p.sjx"))));
  EXPECT_EQ(dialogs.fileRequests.size(), 2u);
  trigger("Colour processing");
  writeFile(dir.file("random.sjx"), Bytes{0x13, 0x9f, 0x00, 'x', '\n', '=', 0xff});
  for (const auto& [name, says] : {std::pair{"none.sjx", "does not exist"}, {"random.sjx", "is not a Stelp project"}})
    EXPECT_TRUE(openProject(name).startsWith("Load Project: " + q(dir.file(name)) + "\n" + says)) << name;
  EXPECT_EQ(std::pair(window->windowTitle(), window->modified()), std::pair(QString("Stelp - p.sjx"), true));

  writeText(dir.file("odd.sjx"), "[Dark]\nHot=99999999999\n");
  EXPECT_TRUE(openProject("odd.sjx").startsWith("Load Project: The project was opened with these changes:\nDark.Hot"));
  // Without a FITS scale, as in projects saved before the choice, it reads to the brightest pixel; "New" to the camera.
  auto* brightest = window->findChild<QAction*>("fitsScaleBrightest");
  auto* camera = window->findChild<QAction*>("fitsScaleCamera");
  EXPECT_TRUE(brightest->isChecked() && !camera->isChecked());
  trigger("New");
  EXPECT_TRUE(camera->isChecked() && !brightest->isChecked());
}

// The window proposes the name's number and writes from the one confirmed; a name typed without an extension of a kind
// Stelp writes takes the kind of the chosen filter. The naming rules themselves are the export's.
TEST_F(MainCommandsTest, SequenceNumbersAndTheChosenFilter) {
  importLights(3);
  const struct { int32_t filter; std::string typed; std::vector<uint32_t> proposed; std::vector<std::string> written;
  } cases[] = {
      {1, "a/moon", {0}, {"a/moon_000.bmp"}}, {4, "c/moon.v2", {}, {"c/moon.v2.avi"}}, {7, "f/moon", {}, {"f/moon.ser"}},
      {6, "e/m42", {42}, {"e/m042.fits", "e/m043.fits", "e/m044.fits"}},
  };
  for (const auto& c : cases) {
    fs::create_directories(fs::path(dir.file(c.typed)).parent_path());
    dialogs.proposedNumbers.clear();
    dialogs.filterChoices.push_back(c.filter);
    save(c.typed);
    EXPECT_EQ(dialogs.proposedNumbers, c.proposed) << c.typed;
    for (const std::string& name : c.written) EXPECT_TRUE(fs::exists(dir.file(name))) << name;
  }
  EXPECT_TRUE(dialogs.fileRequests.back().defaultSuffix.isEmpty());
  // The status line says what the export wrote until the next command.
  const QString wrote = window->statusLine()->text();
  EXPECT_TRUE(wrote.contains("3 files") && wrote.contains(q(dir.file("e")))) << wrote.toStdString();
  window->roleSelector()->setCurrentIndex(1);
  EXPECT_EQ(window->statusLine()->text(), "Ready");

  // Cancelling the sequence dialog reopens the save dialog on the cut name.
  dialogs.fileRequests.clear();
  dialogs.sequenceAnswers.push_back(std::nullopt);
  save("d42.bmp");
  ASSERT_EQ(dialogs.fileRequests.size(), 2u);
  EXPECT_EQ(dialogs.fileRequests[1].initialPath, q(dir.file("d")));
  EXPECT_EQ(dialogs.fileRequests[1].title, "Save processed images");

  // Frames that do not load are passed over and named in one message.
  writeFile(window->model(ListRole::Images)->entry(0)->path, Bytes{'x'});
  EXPECT_TRUE(save("f.bmp").startsWith("Save images: 1 of 3 frames"));
}

TEST_F(MainCommandsTest, ProcessedExportQuestionsAndMessages) {
  EXPECT_EQ(onlyMessage([&] { trigger("Save processed"); }), "Save images: No images to save");
  importLights(1);
  // One entry and an existing file: "No" reopens the dialog, "Yes" writes.
  const std::string out = writeTestBitmap(dir, "out.bmp", 2, 2);
  const auto smallSize = fs::file_size(out);
  dialogs.fileAnswers = {q(out)};
  dialogs.messageAnswers = {MessageAnswer::No, MessageAnswer::Yes};
  EXPECT_EQ(save("out.bmp"), "2 messages");
  EXPECT_EQ(dialogs.messages[0], "Save images: " + q(out) + " already exists.\nDo you want to replace it?");
  EXPECT_NE(fs::file_size(out), smallSize);
  // A file that cannot be written, or that is a source, ends the export with its name.
  EXPECT_TRUE(save("missing/x.fits").contains(q(dir.file("missing/x.fits"))));
  EXPECT_TRUE(save("light0.bmp").startsWith("File conflict: " + q(dir.file("light0.bmp"))));
}

TEST_F(MainCommandsTest, MasterFrames) {
  EXPECT_EQ(onlyMessage([&] { trigger("Save dark average"); }), "Save Darkframe: Nothing to save!");
  EXPECT_TRUE(dialogs.fileRequests.empty());

  // The proposed name is the project's with the product's suffix; then in the last folder, of the last kind chosen.
  import(ListRole::Darks, {q(writeTestBitmap(dir, "dark.bmp", 8, 6, 3))});
  for (const char* folder : {"night", "masters"}) fs::create_directories(dir.file(folder));
  dialogs.fileAnswers = {q(dir.file("night/m42.sjx")), std::nullopt, q(dir.file("masters/m"))};
  dialogs.filterChoices = {1, 1, 2};
  window->SaveProjectAs();
  for (int i = 0; i < 3; ++i) window->SaveDarkAverage();
  settle();
  ASSERT_EQ(dialogs.fileRequests.size(), 4u);
  EXPECT_EQ(dialogs.fileRequests[1].initialPath, q(dir.file("night/m42_dark.bmp")));
  EXPECT_TRUE(fs::exists(dir.file("masters/m.fits")));
  EXPECT_EQ(dialogs.fileRequests[3].initialPath, q(dir.file("masters/m42_dark.fits")));

  import(ListRole::Flats, {q(writeTestBitmap(dir, "flat.bmp", 8, 6, 180))});
  EXPECT_EQ(save("flat.avi", "Save flat average"), "Save Flatframe: Unknown file format");
  EXPECT_TRUE(save("flat.bmp", "Save flat average")
                  .startsWith("Save Flatframe: " + q(dir.file("flat.bmp")) + "\nFile already loaded in the project."));
  save("syn.fits", "Save synthetic flat");
  EXPECT_EQ(dialogs.fileRequests.back().title, "Save Synthetic Flatframe");
  EXPECT_TRUE(fs::exists(dir.file("syn.fits")));
}

// New, Open and closing ask before unsaved changes are lost; every kind of change counts, and a save clears it.
// A project opens with its lists, pages and missing files.
TEST_F(MainCommandsTest, ProjectsAndUnsavedChanges) {
  EXPECT_EQ(onlyMessage([&] { trigger("New"); }), "0 messages");
  fs::create_directory(dir.file("night"));
  import(ListRole::Images, {q(writeTestBitmap(dir, "night/light.bmp", 8, 6))});
  import(ListRole::Darks, {q(writeTestAvi(dir, "night/dark.avi", 8, 6, 2))});
  dialogs.messageAnswers = {MessageAnswer::Cancel};
  EXPECT_EQ(onlyMessage([&] { trigger("New"); }), "Stelp: Save changes to Untitled?");
  EXPECT_EQ(window->model(ListRole::Images)->rowCount(), 1);
  // "Save" whose save dialog is cancelled keeps the window open.
  dialogs.messageAnswers = {MessageAnswer::Save, MessageAnswer::Save};
  EXPECT_FALSE(window->close());
  dialogs.fileAnswers = {q(dir.file("night/p.sjx"))};
  EXPECT_TRUE(window->close());
  EXPECT_EQ(std::pair(window->windowTitle(), window->modified()), std::pair(QString("Stelp - p.sjx"), false));
  EXPECT_TRUE(dialogs.fileRequests.back().defaultSuffix == "sjx" && dialogs.fileRequests.back().confirmOverwrite);
  window->show();

  const std::pair<const char*, std::function<void()>> changes[] = {
      {"import", [&] { importLights(1); }},
      {"remove", [&] { window->RemoveSelected(); }},
      {"toggle", [&] { window->ToggleSelected(ListRole::Images); }},
      {"colour", [&] { trigger("Colour processing"); }},
      {"FITS scale", [&] { window->findChild<QAction*>("fitsScaleBrightest")->trigger(); }},
      {"page edit", [&] { QTest::keyClick(window->darksPage()->hotEdit(), Qt::Key_Backspace); }},
  };
  for (const auto& [name, make] : changes) {
    openProject("night/p.sjx");
    ASSERT_FALSE(window->modified()) << name;
    window->list(ListRole::Images)->selectOnly(0);
    make();
    EXPECT_TRUE(window->modified()) << name;
  }
  dialogs.messageAnswers = {MessageAnswer::Discard};
  EXPECT_EQ(onlyMessage([&] { trigger("Open..."); }), "Stelp: Save changes to p.sjx?");
  EXPECT_EQ(dialogs.fileRequests.back().title, "Load Stelp project");
  // A page edit saved before its delay ran out leaves nothing unsaved.
  window->SaveProject();
  settle();
  EXPECT_FALSE(window->modified());

  trigger("New");
  EXPECT_EQ(window->windowTitle(), "Stelp");
  EXPECT_EQ(window->model(ListRole::Darks)->rowCount(), 0);
  EXPECT_EQ(window->darksPage()->hotEdit()->text(), "200");
  // Moved with its files, the project still finds them; files found nowhere are named in one message; entries stay.
  fs::rename(dir.file("night"), dir.file("moved"));
  fs::remove(dir.file("moved/light.bmp"));
  window->roleSelector()->setCurrentIndex(2);
  const QString missing = openProject("moved/p.sjx");
  EXPECT_TRUE(missing.startsWith("Load Project: ") && missing.endsWith("light.bmp")) << missing.toStdString();
  EXPECT_EQ(window->model(ListRole::Darks)->entry(1)->path, dir.file("moved/dark.avi"));
  EXPECT_EQ(std::tuple(window->model(ListRole::Images)->rowCount(), window->darksPage()->hotEdit()->text(),
                       window->roleSelector()->currentIndex(), window->list(ListRole::Images)->isVisible()),
            std::tuple(1, QString("20"), 0, true));
}

// The settings file keeps the folder last chosen for each kind of file dialog (the next one starts there, not in the
// project's), the export filters, the window's place and the launch counter; the tenth counted day brings the reminder.
TEST_F(MainCommandsTest, SettingsFileKeepsFoldersFiltersWindowAndCounter) {
  const std::string settings = dir.file("config/Stelp.ini");
  open(settings);
  EXPECT_EQ(dialogs.welcomes, 1);
  for (const char* folder : {"night", "projects", "out", "masters"}) fs::create_directories(dir.file(folder));
  import(ListRole::Images, {q(writeTestBitmap(dir, "night/light.bmp", 8, 6))});
  import(ListRole::Darks, {q(writeTestBitmap(dir, "night/dark.bmp", 8, 6, 3))});
  dialogs.fileAnswers = {q(dir.file("projects/p.sjx")), q(dir.file("out/f.fit")), q(dir.file("masters/d.fit"))};
  dialogs.filterChoices = {1, 6, 5};  // then the float FITS filters
  window->SaveProjectAs();
  window->SaveProcessed();
  window->SaveDarkAverage();
  settle();
  for (const char* name : {"out/f.fit", "masters/d.fit"})
    EXPECT_NE(readText(dir.file(name)).find("BITPIX  =                  -32"), std::string::npos) << name;
  window->setGeometry(40, 30, 500, 400);
  window->showMaximized();
  settle();
  open(settings);  // the old window's tear-down saves the settings file and releases every entry and product
  EXPECT_EQ(window->geometry(), QRect(40, 30, 500, 400));
  EXPECT_EQ(std::tuple(dialogs.welcomes, window->launchCounter(), window->processedFilterIndex(),
                       window->masterFilterIndex()), std::tuple(1, 1, 6, 5));
  // Without a project the fallback would be the home folder; with it, the project's folder.
  dialogs.fileRequests.clear();
  const std::pair<std::function<void()>, const char*> starts[] = {
      {[&] { window->ImportFiles(); }, "night"},
      {[&] { trigger("Open..."); }, "projects"},
      {[&] { openProject("projects/p.sjx"); window->SaveProcessed(); }, "out"},
      {[&] { window->SaveDarkAverage(); }, "masters"},
  };
  for (const auto& [show, folder] : starts) {
    show();
    settle();
    const QString start = dialogs.fileRequests.empty() ? dialogs.importFolders.back()
                                                        : dialogs.fileRequests.back().initialPath;
    EXPECT_TRUE(start == q(dir.file(folder)) || QFileInfo(start).absolutePath() == q(dir.file(folder)))
        << folder << ": " << start.toStdString();
  }

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
  dialogs.messages.clear();
  open(settings);
  EXPECT_EQ(dialogs.reminders, std::vector<int32_t>{20});
  EXPECT_EQ(dialogs.messages, std::vector<QString>{"Stelp: Thank you for your support!"});
  EXPECT_EQ(std::tuple(window->launchCounter(), window->processedFilterIndex(), window->masterFilterIndex()),
            std::tuple(21, 2, 3));
  EXPECT_TRUE(window->screen()->availableGeometry().intersects(window->geometry()));
  EXPECT_EQ(window->size(), QSize(500, 400));
  // "Payment" shows it at any time; visiting the site opens the page.
  dialogs.reminderAnswer = ReminderChoice::VisitWebsite;
  trigger("Payment");
  EXPECT_EQ(std::pair(dialogs.reminders.back(), dialogs.urls.size()), std::pair(21, qsizetype{1}));
}

}  // namespace
}  // namespace stelp::test
