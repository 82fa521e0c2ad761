// The program's localization module: the localizer, the module's own
// translator and the message dialog the windows use. Created once at
// start-up, after the application object and before the first window:
//
//   I18n::TLocalizationModule module;            // points the localizer at I18n/<program>.i18n
//   module.MsgDialog()->Inform(text);
//   I18n::TLocalizationModule::Instance();       // the same module from anywhere
#pragma once

#include <QObject>

#include "FormTranslator.h"
#include "Localizer.h"
#include "MessageDialog.h"

namespace I18n {

class TLocalizationModule : public QObject {
  Q_OBJECT

public:
  // CatalogFile empty: the file named like the program with the extension
  // ".i18n" in the folder "I18n" next to the program; loaded when it
  // exists. A catalog that fails to load leaves the program in English and
  // is reported on standard error.
  explicit TLocalizationModule(QObject* Parent = nullptr, const QString& CatalogFile = QString());
  ~TLocalizationModule() override;

  static TLocalizationModule* Instance();

  TLocalizer* Localizer() const { return fLocalizer; }
  TTranslator* Translator() const { return fTranslator; }
  TMessageDialog* MsgDialog() const { return fMsgDialog; }

  // The catalog file of the program (whether or not it exists).
  static QString DefaultCatalogFile();

private:
  TLocalizer* fLocalizer;
  TMessageDialog* fMsgDialog;
  TTranslator* fTranslator;
};

}  // namespace I18n
