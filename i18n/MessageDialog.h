// The program's message box: a modal window built, shown and destroyed by
// each call, with translatable button and title captions (the properties
// "ButtonCaptions.<Button>" and "Captions.<Type>" of the component).
//
//   dialog->Inform(text);                       // information, OK
//   dialog->ShowWarning(text);                  // warning, OK
//   if (dialog->Confirm(text)) ...              // Yes / No, Yes the default; true only for Yes
//
// Ctrl+C in the dialog puts its title, text and buttons on the clipboard.
#pragma once

#include <QObject>
#include <QString>

#include <array>
#include <functional>

class QDialog;
class QWidget;

namespace I18n {

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TMsgDlgBtn { mbYes, mbNo, mbOK, mbCancel, mbAbort, mbRetry, mbIgnore, mbAll, mbNoToAll, mbYesToAll, mbHelp, mbClose };
using TMsgDlgButtons = unsigned;  // bit (1 << TMsgDlgBtn)
constexpr TMsgDlgButtons MsgDlgButton(TMsgDlgBtn Button) { return 1u << Button; }

// The results of a closed dialog: the button chosen, or mrNone.
enum TModalResult { mrNone = 0, mrOk, mrCancel, mrAbort, mrRetry, mrIgnore, mrYes, mrNo, mrClose, mrHelp, mrAll, mrNoToAll, mrYesToAll };

// The button captions, each a property named after its button.
class TMsgDlgBtnCaptions : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString Yes READ Yes WRITE SetYes)
  Q_PROPERTY(QString No READ No WRITE SetNo)
  Q_PROPERTY(QString OK READ OK WRITE SetOK)
  Q_PROPERTY(QString Cancel READ Cancel WRITE SetCancel)
  Q_PROPERTY(QString Abort READ Abort WRITE SetAbort)
  Q_PROPERTY(QString Retry READ Retry WRITE SetRetry)
  Q_PROPERTY(QString Ignore READ Ignore WRITE SetIgnore)
  Q_PROPERTY(QString All READ All WRITE SetAll)
  Q_PROPERTY(QString NoToAll READ NoToAll WRITE SetNoToAll)
  Q_PROPERTY(QString YesToAll READ YesToAll WRITE SetYesToAll)
  Q_PROPERTY(QString Help READ Help WRITE SetHelp)
  Q_PROPERTY(QString Close READ Close WRITE SetClose)

public:
  explicit TMsgDlgBtnCaptions(QObject* Parent);
  const QString& Caption(TMsgDlgBtn Button) const { return fCaptions[Button]; }
  void SetCaption(TMsgDlgBtn Button, const QString& Value) { fCaptions[Button] = Value; }
  // The designed caption ("No to All").
  static QString DefaultCaption(TMsgDlgBtn Button);
  // The component name of a button ("NoToAll").
  static QString ButtonName(TMsgDlgBtn Button);

#define VORELLE_BUTTON_CAPTION(N)                       \
  QString N() const { return fCaptions[mb##N]; }        \
  void Set##N(const QString& V) { fCaptions[mb##N] = V; }
  VORELLE_BUTTON_CAPTION(Yes)
  VORELLE_BUTTON_CAPTION(No)
  VORELLE_BUTTON_CAPTION(OK)
  VORELLE_BUTTON_CAPTION(Cancel)
  VORELLE_BUTTON_CAPTION(Abort)
  VORELLE_BUTTON_CAPTION(Retry)
  VORELLE_BUTTON_CAPTION(Ignore)
  VORELLE_BUTTON_CAPTION(All)
  VORELLE_BUTTON_CAPTION(NoToAll)
  VORELLE_BUTTON_CAPTION(YesToAll)
  VORELLE_BUTTON_CAPTION(Help)
  VORELLE_BUTTON_CAPTION(Close)
#undef VORELLE_BUTTON_CAPTION

private:
  std::array<QString, 12> fCaptions;
};

// The title captions of the dialog types.
class TMsgDlgTypeCaptions : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString Warning READ Warning WRITE SetWarning)
  Q_PROPERTY(QString Error READ Error WRITE SetError)
  Q_PROPERTY(QString Information READ Information WRITE SetInformation)
  Q_PROPERTY(QString Confirmation READ Confirmation WRITE SetConfirmation)
  Q_PROPERTY(QString Custom READ Custom WRITE SetCustom)

public:
  explicit TMsgDlgTypeCaptions(QObject* Parent);
  const QString& Caption(TMsgDlgType Type) const { return fCaptions[Type]; }
  void SetCaption(TMsgDlgType Type, const QString& Value) { fCaptions[Type] = Value; }
  static QString DefaultCaption(TMsgDlgType Type);

#define VORELLE_TYPE_CAPTION(N, T)                    \
  QString N() const { return fCaptions[T]; }          \
  void Set##N(const QString& V) { fCaptions[T] = V; }
  VORELLE_TYPE_CAPTION(Warning, mtWarning)
  VORELLE_TYPE_CAPTION(Error, mtError)
  VORELLE_TYPE_CAPTION(Information, mtInformation)
  VORELLE_TYPE_CAPTION(Confirmation, mtConfirmation)
  VORELLE_TYPE_CAPTION(Custom, mtCustom)
#undef VORELLE_TYPE_CAPTION

private:
  std::array<QString, 5> fCaptions;
};

class TMessageDialog : public QObject {
  Q_OBJECT
  Q_PROPERTY(QObject* ButtonCaptions READ ButtonCaptionsObject)
  Q_PROPERTY(QObject* Captions READ CaptionsObject)

public:
  explicit TMessageDialog(QObject* Owner = nullptr);

  TMsgDlgBtnCaptions* ButtonCaptions() const { return fButtonCaptions; }
  TMsgDlgTypeCaptions* Captions() const { return fCaptions; }
  bool AutoHotKeys = true;
  // Right to left; by default the application's direction.
  Qt::LayoutDirection BiDiMode() const;
  void SetBiDiMode(Qt::LayoutDirection Mode) { fBiDiMode = Mode, fParentBiDiMode = false; }

  void ShowWarning(const QString& Msg, int HelpContext = 0);
  void Inform(const QString& Msg, int HelpContext = 0);
  void ShowError(const QString& Msg, int HelpContext = 0);
  void ShowMessage(const QString& Msg, int HelpContext = 0);
  // True only when Yes was chosen.
  bool Confirm(const QString& Msg, TMsgDlgBtn DefaultButton = mbYes, int HelpContext = 0);

  // Builds, shows modally and destroys one dialog; the chosen result.
  TModalResult Show(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons, TMsgDlgBtn DefaultButton,
                    int HelpContext);
  // Builds the dialog without showing it (the caller owns it).
  QDialog* CreateDialog(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons, TMsgDlgBtn DefaultButton,
                        int HelpContext) const;

  // Opens a help topic for the Help button; without one Help does nothing.
  std::function<void(int HelpContext)> OnHelp;

  QObject* ButtonCaptionsObject() const { return fButtonCaptions; }
  QObject* CaptionsObject() const { return fCaptions; }

private:
  TMsgDlgBtnCaptions* fButtonCaptions;
  TMsgDlgTypeCaptions* fCaptions;
  Qt::LayoutDirection fBiDiMode = Qt::LeftToRight;
  bool fParentBiDiMode = true;
};

// The result of a button.
TModalResult ModalResultOf(TMsgDlgBtn Button);

}  // namespace I18n
