// Opening the program's help book at the page of the current language.
//
//   if (!TProgramHelp::OpenProgramHelp())
//     ShowWarning(Owner, "The program help file is not found! Maybe you need to reinstall the program?");
//
// The book is "Help/<program file name>.chm" in the program's folder; its
// pages are named after the cultures ("en-US.html"). The page shown is that
// of the current culture, the English page when no culture is current or
// the book has no page for it. One help window serves the whole program; it
// belongs to the window that was active when it was opened, so it can be
// used beside a modal dialog.
#pragma once

#include <QString>
#include <functional>

namespace Vorelle {

class THelpViewer;

class TProgramHelp {
public:
  TProgramHelp() = delete;
  // The page shown when the current culture has none.
  static const char* const DefaultTopic;

  // Shows the help window at the current culture's page. False when the
  // book is missing or the page cannot be read (nothing is opened then).
  static bool OpenProgramHelp();
  // The help book of the program.
  static QString HelpFilePath();
  // The page of the current culture: its name + ".html", or DefaultTopic.
  static QString CultureTopic();

  // The program file the book is found beside; the running program unless
  // set (tests point it at a built program folder).
  static void SetProgramFile(const QString& FileName);
  static QString ProgramFile();
  // Answers the name of the current culture ("en-US"), empty when none; by
  // default the culture of the program's localizer.
  static void SetCultureNameQuery(std::function<QString()> Query);

  // The help window while it is open, else null.
  static THelpViewer* Viewer();
};

}  // namespace Vorelle
