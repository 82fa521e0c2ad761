// The language list: a drop-down of the localizer's languages, each with its
// flag and its name; choosing one switches the program's language.
#pragma once

#include <QComboBox>
#include <QIcon>
#include <QPointer>

#include "Localizer.h"

namespace I18n {

// Flag images of cultures, built into the program.
class TFlagImageList {
public:
  // The flag of the culture's territory (its language's usual territory for
  // a neutral culture); a null icon when there is none.
  static QIcon FlagOf(const TCultureInfo* Culture);
  // The two-letter territory code used for the flag ("fr" for "fr-BE" is
  // "be"), lower case; empty when unknown.
  static QString TerritoryOf(const TCultureInfo* Culture);
};

// The name of a culture's language as shown to the user: in the user's
// interface language when Qt knows it, else in the language itself.
QString CultureDisplayName(const TCultureInfo* Culture);

class TCultureBox : public QComboBox, public ILocalizerLink {
  Q_OBJECT

public:
  explicit TCultureBox(QWidget* Parent = nullptr, TLocalizer* ALocalizer = nullptr);
  ~TCultureBox() override;

  TLocalizer* Localizer() const { return fLocalizer.data(); }
  void SetLocalizer(TLocalizer* ALocalizer);
  // The culture of the selected entry, or null.
  const TCultureInfo* SelectedCulture() const;

  void LocalizerNotify(TLocalizer* Sender, TLocalizerNotification Reason) override;

private:
  QPointer<TLocalizer> fLocalizer;  // null once the localizer is gone
  bool fUpdating = false;
  void Reload();
  void SelectCurrent();
  void EntryActivated(int Index);
};

}  // namespace I18n
