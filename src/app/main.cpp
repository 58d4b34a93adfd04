#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

#include "app/dialogs.h"
#include "app/main_dialog.h"
#include "persist/settings_file.h"

// stelp [PROJECT.sjx]: the window, on the project when one is given.
int main(int argc, char** argv) {
  QApplication app(argc, argv);
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
  // The project's folder is where moved source files are looked for, so the
  // path is made absolute.
  if (!parser.positionalArguments().isEmpty())
    window.OpenProjectFile(QFileInfo(parser.positionalArguments().first()).absoluteFilePath());
  window.show();
  return app.exec();
}
