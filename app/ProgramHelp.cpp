#include "ProgramHelp.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>

#include "HelpViewer.h"
#include "Localizer.h"

namespace Vorelle {

const char* const TProgramHelp::DefaultTopic = "en-US.html";

namespace {

QString& ProgramFileOverride() {
  static QString file;
  return file;
}

std::function<QString()>& CultureQuery() {
  static std::function<QString()> query;
  return query;
}

// The open help window; the pointer itself is never destroyed, so it stays
// valid at exit.
QPointer<THelpViewer>& OpenViewer() {
  static auto* viewer = new QPointer<THelpViewer>;
  return *viewer;
}

}  // namespace

void TProgramHelp::SetProgramFile(const QString& FileName) { ProgramFileOverride() = FileName; }

QString TProgramHelp::ProgramFile() {
  return ProgramFileOverride().isEmpty() ? QCoreApplication::applicationFilePath() : ProgramFileOverride();
}

void TProgramHelp::SetCultureNameQuery(std::function<QString()> Query) { CultureQuery() = std::move(Query); }

QString TProgramHelp::HelpFilePath() {
  QFileInfo program(ProgramFile());
  return QDir(program.absolutePath()).filePath("Help/" + program.completeBaseName() + ".chm");
}

QString TProgramHelp::CultureTopic() {
  QString culture;
  if (CultureQuery()) {
    culture = CultureQuery()().trimmed();
  } else if (I18n::TLocalizer* localizer = I18n::TLocalizer::FirstInstance(); localizer && localizer->Culture()) {
    culture = QString::fromUtf8(localizer->Culture()->Locale);
  }
  // A culture name is a locale tag; anything else cannot name a page.
  for (QChar c : culture)
    if (!(c.isLetterOrNumber() || c == '-' || c == '_')) return DefaultTopic;
  return culture.isEmpty() ? QString(DefaultTopic) : culture + ".html";
}

THelpViewer* TProgramHelp::Viewer() { return OpenViewer().data(); }

bool TProgramHelp::OpenProgramHelp() {
  const QString book = HelpFilePath();
  if (!QFileInfo(book).isFile()) return false;

  QWidget* owner = QApplication::activeWindow();
  QPointer<THelpViewer>& viewer = OpenViewer();
  if (viewer && owner == viewer.data()) owner = viewer->parentWidget();
  const bool created = !viewer;
  if (created) viewer = new THelpViewer(owner);

  const QString topic = CultureTopic();
  if (!viewer->OpenTopic(book, topic) && (topic == DefaultTopic || !viewer->OpenTopic(book, DefaultTopic))) {
    if (created) delete viewer.data();
    return false;
  }
  if (viewer->parentWidget() != owner) {
    // Belong to the window that asked, so a modal dialog does not block it.
    QRect geometry = viewer->geometry();
    viewer->setParent(owner, Qt::Window);
    viewer->setGeometry(geometry);
  }
  viewer->show();
  viewer->raise();
  viewer->activateWindow();
  return true;
}

}  // namespace Vorelle
