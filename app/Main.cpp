// vorelle: the desktop program. A small window takes image files dropped
// from a file manager and converts each into every selected output format.
//
// Start-up order: the imaging core with its handlers, the stored options,
// the tooltip window, the application object titled "Vorelle", the
// localization module (with the catalog next to the program, when there is
// one), the main window and the single-instance guard (a second copy asks
// the first to come forward and ends here with status 0, before any window
// is shown), then the window is shown and the message loop runs.
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QTextStream>
#include <cstdio>

#include "AppInstances.h"
#include "Imaging.h"
#include "LocalizationModule.h"
#include "MainForm.h"
#include "OptionsStore.h"
#include "ProgramHelp.h"
#include "ProgramHint.h"

using namespace Vorelle;

namespace {

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
    icon.addFile(QStringLiteral(":/vorelle/desktop/icons/%1.png").arg(size), QSize(size, size));
  return icon;
}

// For checking an installation: when VORELLE_STARTUP_REPORT names a file,
// the program writes there, once its window is shown, where it found its
// catalog and help book and which language it speaks.
void WriteStartupReport(const I18n::TLocalizationModule& Localization) {
  QString file = qEnvironmentVariable("VORELLE_STARTUP_REPORT");
  if (file.isEmpty()) return;
  QFile report(file);
  if (!report.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
  const I18n::TCultureInfo* culture = Localization.Localizer()->Culture();
  QTextStream out(&report);
  out << "catalog=" << Localization.Localizer()->URI() << "\n"
      << "languages=" << Localization.Localizer()->Catalog().Cultures().Count() << "\n"
      << "language=" << (culture ? culture->Locale : "") << "\n"
      << "help=" << TProgramHelp::HelpFilePath() << "\n"
      << "help-exists=" << (QFile::exists(TProgramHelp::HelpFilePath()) ? 1 : 0) << "\n";
}

void ReportOptionsProblem(const std::string& Message) { std::fprintf(stderr, "vorelle: %s\n", Message.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  Imaging::InitImaging();
  TOptions AppOptions = TOptions::FromUserSettings(ReportOncePerProcess(ReportOptionsProblem));

  QApplication::setApplicationName(QStringLiteral("vorelle"));
  QApplication::setOrganizationName(QStringLiteral("Ostrevo"));
  QGuiApplication::setDesktopFileName(QStringLiteral("com.ostrevo.Vorelle"));
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName(QStringLiteral("Vorelle"));
  QApplication::setWindowIcon(ProgramIcon());
  TProgramHint::Install();

  I18n::TLocalizationModule localization;

  TMainForm form(AppOptions);
  TcyAppInstances instances(QStringLiteral("OstrevoVorelle"));
  if (!instances.Activate(&form)) return 0;

  form.show();
  WriteStartupReport(localization);
  return app.exec();
}
