#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QMessageBox>
#include <cstdlib>
#include <new>

#include "app/dialogs.h"
#include "app/main_dialog.h"
#include "persist/settings_file.h"

namespace {

// The last guard: an allocation failure that a command did not answer
// itself ends that event's handling with a message instead of the program.
class StelpApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::bad_alloc&) {
      QMessageBox::warning(activeWindow(), QStringLiteral("Stelp"),
                           QStringLiteral("Not enough memory to finish the command."));
      return false;
    }
  }
};

}  // namespace

// stelp [PROJECT.sjx]: the window, on the project when one is given.
int main(int argc, char** argv) {
  StelpApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Stelp"));
  QApplication::setApplicationVersion(QLatin1String(stelp::kVersionText));
  QApplication::setWindowIcon(stelp::appIcon());

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Calibrates astronomical images: darks, flats, hot pixels."));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("project"), QStringLiteral("A Stelp project (.sjx) to open."),
                               QStringLiteral("[PROJECT.sjx]"));
  parser.process(app);

  stelp::QtDialogHost dialogs;
  stelp::MainDialog window(dialogs, stelp::settingsFilePath());
  // The budget of median and sigma-clipped masters, in MiB, as for the
  // commands; a value that is no such number leaves the default.
  int64_t combineMemory = 0;
  if (const char* text = std::getenv(stelp::kCombineMemoryVariable); text && stelp::parseMemoryMiB(text, combineMemory))
    window.engine().SetCombineMemory(combineMemory);
  // The project's folder is where moved source files are looked for, so the
  // path is made absolute.
  if (!parser.positionalArguments().isEmpty())
    window.OpenProjectFile(QFileInfo(parser.positionalArguments().first()).absoluteFilePath());
  window.show();
  return app.exec();
}
