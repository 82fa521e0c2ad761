// vorelle-texts: builds the program's translation catalog from its windows.
//
//   vorelle-texts CATALOG [LOCALE.po ...]
//   vorelle-texts --pot TEMPLATE
//
// Every window of the program is created (without showing it) and its
// translator collects the window's captions and hints and the literal texts
// its code shows; each becomes a definition of the window's domain with its
// English text. Each PO file, named after its locale ("de-DE.po"), then adds
// its translations: an entry applies to every definition whose English text
// is its msgid; entries marked fuzzy are stored as fuzzy (not shown), all
// others as approved. The catalog is written to CATALOG.
//
// Texts that no PO file translates are reported on standard error, so a new
// or changed text shows at once. With --pot, every English text is written
// to a gettext template instead, for msgmerge to bring the PO files up to
// date (scripts/update-translations.sh).
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTemporaryDir>
#include <cstdio>

#include "FormTranslator.h"
#include "LocalizationModule.h"
#include "MainForm.h"
#include "OptionsForm.h"
#include "OptionsStore.h"
#include "Settings.h"
#include "TranslationCatalog.h"

using namespace Vorelle;

namespace {

struct TPoEntry {
  QString Text;
  bool Fuzzy = false;
};

QString Unquote(const QByteArray& Line, bool& Ok) {
  QByteArray s = Line.trimmed();
  Ok = s.size() >= 2 && s.startsWith('"') && s.endsWith('"');
  if (!Ok) return {};
  QByteArray out;
  for (qsizetype i = 1; i + 1 < s.size(); ++i) {
    char c = s[i];
    if (c == '\\' && i + 2 < s.size()) {
      char e = s[++i];
      out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
    } else {
      out += c;
    }
  }
  return QString::fromUtf8(out);
}

// The msgid -> msgstr pairs of a PO file (the header entry left out).
bool ReadPoFile(const QString& FileName, QHash<QString, TPoEntry>& Entries, QString& Error) {
  QFile file(FileName);
  if (!file.open(QIODevice::ReadOnly)) {
    Error = file.errorString();
    return false;
  }
  enum { None, Id, Str, Ctxt } field = None;
  QString id, str;
  bool fuzzy = false, haveEntry = false;
  int lineNumber = 0;
  auto finish = [&] {
    if (haveEntry && !id.isEmpty() && !str.isEmpty()) Entries.insert(id, {str, fuzzy});
    id.clear();
    str.clear();
    fuzzy = false;
    haveEntry = false;
    field = None;
  };
  while (!file.atEnd()) {
    QByteArray line = file.readLine().trimmed();
    ++lineNumber;
    bool ok = true;
    if (line.isEmpty()) {
      finish();
    } else if (line.startsWith("#,")) {
      if (field == Str) finish();
      if (line.contains("fuzzy")) fuzzy = true;
    } else if (line.startsWith('#')) {
      if (field == Str) finish();
    } else if (line.startsWith("msgctxt ")) {
      if (field == Str) finish();
      field = Ctxt;
      Unquote(line.mid(8), ok);
    } else if (line.startsWith("msgid ")) {
      if (field == Str) finish();
      field = Id;
      haveEntry = true;
      id = Unquote(line.mid(6), ok);
    } else if (line.startsWith("msgstr ")) {
      field = Str;
      str = Unquote(line.mid(7), ok);
    } else if (line.startsWith('"')) {
      QString more = Unquote(line, ok);
      if (field == Id) id += more;
      if (field == Str) str += more;
    } else {
      ok = false;
    }
    if (!ok) {
      Error = QStringLiteral("line %1 is not understood").arg(lineNumber);
      return false;
    }
  }
  finish();
  return true;
}

// Lists the program fills at run time (style names, format names) are data,
// not designed texts.
bool IsRunTimeList(const QString& ID) {
  return ID.startsWith(QLatin1String("AppThemesListBox.Items[")) ||
         ID.startsWith(QLatin1String("FormatsCheckListBox.Items["));
}

void AddTranslator(I18n::TTranslationCatalog& Catalog, I18n::TTranslator& Translator) {
  I18n::TTextDomain* domain = Catalog.TextDomains().Add(Translator.DomainName());
  for (I18n::TTextItem& item : Translator.Translatables().Properties())
    if (!IsRunTimeList(item.ID)) domain->Properties().Add(item.ID)->SetValue(item.OriginalValue);
  for (I18n::TTextItem& item : Translator.Translatables().Literals())
    domain->Literals().Add(item.ID)->SetValue(item.OriginalValue);
}

QByteArray PoQuoted(const QString& Text) {
  QByteArray out = "\"";
  for (char c : Text.toUtf8()) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

// Every English text once, in the order the windows hold them.
bool WriteTemplate(const I18n::TTranslationCatalog& Catalog, const QString& FileName) {
  QFile file(FileName);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    std::fprintf(stderr, "vorelle-texts: %s: %s\n", qPrintable(FileName), qPrintable(file.errorString()));
    return false;
  }
  file.write("# The texts of Vorelle's windows, dialogs and run log.\n"
             "msgid \"\"\nmsgstr \"\"\n\"Project-Id-Version: Vorelle\\n\"\n"
             "\"Content-Type: text/plain; charset=UTF-8\\n\"\n\"Content-Transfer-Encoding: 8bit\\n\"\n");
  QSet<QString> written;
  for (const I18n::TTextDomain* domain : Catalog.TextDomains().Items())
    for (const I18n::TTextDictionary* dictionary : {&domain->Properties(), &domain->Literals()})
      for (const I18n::TTextDefinition* definition : dictionary->Items()) {
        if (written.contains(definition->Value())) continue;
        written.insert(definition->Value());
        file.write("\n#: " + (domain->Name() + QLatin1Char(' ') + definition->ID()).toUtf8() + "\nmsgid " +
                   PoQuoted(definition->Value()) + "\nmsgstr \"\"\n");
      }
  return file.flush();
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QStringList args = app.arguments().mid(1);
  bool pot = !args.isEmpty() && args[0] == QLatin1String("--pot");
  if (pot) args.removeFirst();
  if (args.isEmpty() || args[0].startsWith(QLatin1Char('-')) || (pot && args.size() != 1)) {
    std::fprintf(stderr, "usage: vorelle-texts CATALOG [LOCALE.po ...]\n       vorelle-texts --pot TEMPLATE\n");
    return 2;
  }
  Imaging::InitImaging();

  // The windows with their designed texts: no stored options, no catalog.
  QTemporaryDir scratch;
  TSettingsFile settings(scratch.filePath(QStringLiteral("settings.conf")).toStdString());
  TOptions options(settings, scratch.path().toStdString());
  I18n::TLocalizationModule module(nullptr, QStringLiteral("/nonexistent/vorelle-texts.i18n"));
  TMainForm mainForm(options);
  TOptionsForm optionsForm(options, &mainForm, &settings);

  I18n::TTranslationCatalog catalog;
  catalog.BeginUpdate();
  catalog.SetNativeCulture(I18n::TCultureTable::Find("en-US"));
  AddTranslator(catalog, *module.Translator());
  AddTranslator(catalog, *mainForm.Translator());
  for (const char* literal : TOptionsForm::Literals()) optionsForm.Translator->GetText(QString::fromUtf8(literal));
  AddTranslator(catalog, *optionsForm.Translator);

  if (pot) return WriteTemplate(catalog, args[0]) ? 0 : 1;

  int status = 0;
  for (const QString& poFile : args.mid(1)) {
    QString locale = QFileInfo(poFile).completeBaseName();
    if (!I18n::TCultureTable::Find(locale.toStdString())) {
      std::fprintf(stderr, "vorelle-texts: %s: \"%s\" is not a known locale\n", qPrintable(poFile), qPrintable(locale));
      status = 1;
      continue;
    }
    QHash<QString, TPoEntry> entries;
    QString error;
    if (!ReadPoFile(poFile, entries, error)) {
      std::fprintf(stderr, "vorelle-texts: %s: %s\n", qPrintable(poFile), qPrintable(error));
      status = 1;
      continue;
    }
    for (I18n::TTextDomain* domain : catalog.TextDomains().Items())
      for (I18n::TTextDictionary* dictionary : {&domain->Properties(), &domain->Literals()})
        for (I18n::TTextDefinition* definition : dictionary->Items()) {
          auto found = entries.constFind(definition->Value());
          if (found == entries.constEnd()) {
            std::fprintf(stderr, "vorelle-texts: %s: no translation of \"%s\" (%s %s)\n", qPrintable(poFile),
                         qPrintable(definition->Value()), qPrintable(domain->Name()), qPrintable(definition->ID()));
            continue;
          }
          I18n::TTextTranslation* translation = definition->Translations().Add(locale);
          translation->SetValue(found->Text);
          translation->SetState(found->Fuzzy ? I18n::tsFuzzy : I18n::tsUser);
        }
  }
  catalog.EndUpdate();

  try {
    catalog.SaveToFile(args[0]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorelle-texts: %s\n", e.what());
    return 1;
  }
  return status;
}
