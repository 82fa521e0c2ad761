#include "MessageDialog.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include <cmath>
#include <vector>

namespace I18n {

namespace {

const char* const ButtonNames[12] = {"Yes", "No", "OK", "Cancel", "Abort", "Retry",
                                     "Ignore", "All", "NoToAll", "YesToAll", "Help", "Close"};
const char* const ButtonCaptions[12] = {"Yes", "No", "OK", "Cancel", "Abort", "Retry",
                                        "Ignore", "All", "No to All", "Yes to All", "Help", "Close"};
const char* const TypeCaptions[5] = {"Warning", "Error", "Information", "Confirm", ""};

int Round(double Value) { return int(std::lround(Value)); }

// A caption without its hot-key marks: single "&" dropped, "&&" kept.
QString StripHotKeys(const QString& Caption) {
  QString result;
  for (qsizetype i = 0; i < Caption.size(); ++i) {
    if (Caption[i] == u'&') {
      if (i + 1 < Caption.size() && Caption[i + 1] == u'&') {
        result += QStringLiteral("&&");
        ++i;
      }
      continue;
    }
    result += Caption[i];
  }
  return result;
}

// The caption as shown: "&&" is one "&".
QString ShownCaption(const QString& Caption) {
  QString result;
  for (qsizetype i = 0; i < Caption.size(); ++i) {
    if (Caption[i] == u'&') {
      if (i + 1 < Caption.size() && Caption[i + 1] == u'&') {
        result += u'&';
        ++i;
      }
      continue;
    }
    result += Caption[i];
  }
  return result;
}

// The modal window of one message.
class TMsgDlgWindow : public QDialog {
public:
  TMsgDlgWindow(QWidget* Parent) : QDialog(Parent) {}

  QString Message;
  std::vector<QPushButton*> Buttons;  // in the dialog's button order
  std::vector<TMsgDlgBtn> Kinds;

  // The text Ctrl+C copies: title, message and buttons between rules.
  QString ClipboardText() const {
    const QString rule = QString(27, u'-') + QStringLiteral("\r\n");
    QString captions;
    for (QPushButton* button : Buttons) captions += ShownCaption(button->text()) + QStringLiteral("   ");
    return rule + windowTitle() + QStringLiteral("\r\n") + rule + Message + QStringLiteral("\r\n") + rule + captions +
           QStringLiteral("\r\n") + rule;
  }

protected:
  void keyPressEvent(QKeyEvent* Event) override {
    if (Event->key() == Qt::Key_C && Event->modifiers() == Qt::ControlModifier) {
      QApplication::beep();
      QGuiApplication::clipboard()->setText(ClipboardText());
      Event->accept();
      return;
    }
    QDialog::keyPressEvent(Event);
  }

  // Escape and the window's close box: Cancel, else No, else OK.
  void reject() override {
    for (TMsgDlgBtn kind : {mbCancel, mbNo, mbOK})
      for (TMsgDlgBtn present : Kinds)
        if (present == kind) {
          done(ModalResultOf(kind));
          return;
        }
  }
};

}  // namespace

TModalResult ModalResultOf(TMsgDlgBtn Button) {
  switch (Button) {
    case mbYes: return mrYes;
    case mbNo: return mrNo;
    case mbOK: return mrOk;
    case mbCancel: return mrCancel;
    case mbAbort: return mrAbort;
    case mbRetry: return mrRetry;
    case mbIgnore: return mrIgnore;
    case mbAll: return mrAll;
    case mbNoToAll: return mrNoToAll;
    case mbYesToAll: return mrYesToAll;
    case mbHelp: return mrNone;
    case mbClose: return mrClose;
  }
  return mrNone;
}

TMsgDlgBtnCaptions::TMsgDlgBtnCaptions(QObject* Parent) : QObject(Parent) {
  for (int i = 0; i < 12; ++i) fCaptions[size_t(i)] = DefaultCaption(TMsgDlgBtn(i));
}

QString TMsgDlgBtnCaptions::DefaultCaption(TMsgDlgBtn Button) { return QString::fromLatin1(ButtonCaptions[Button]); }
QString TMsgDlgBtnCaptions::ButtonName(TMsgDlgBtn Button) { return QString::fromLatin1(ButtonNames[Button]); }

TMsgDlgTypeCaptions::TMsgDlgTypeCaptions(QObject* Parent) : QObject(Parent) {
  for (int i = 0; i < 5; ++i) fCaptions[size_t(i)] = DefaultCaption(TMsgDlgType(i));
}

QString TMsgDlgTypeCaptions::DefaultCaption(TMsgDlgType Type) { return QString::fromLatin1(TypeCaptions[Type]); }

TMessageDialog::TMessageDialog(QObject* Owner)
    : QObject(Owner), fButtonCaptions(new TMsgDlgBtnCaptions(this)), fCaptions(new TMsgDlgTypeCaptions(this)) {}

Qt::LayoutDirection TMessageDialog::BiDiMode() const {
  return fParentBiDiMode ? QGuiApplication::layoutDirection() : fBiDiMode;
}

void TMessageDialog::ShowWarning(const QString& Msg, int HelpContext) {
  Show(Msg, mtWarning, MsgDlgButton(mbOK), mbOK, HelpContext);
}
void TMessageDialog::Inform(const QString& Msg, int HelpContext) {
  Show(Msg, mtInformation, MsgDlgButton(mbOK), mbOK, HelpContext);
}
void TMessageDialog::ShowError(const QString& Msg, int HelpContext) {
  Show(Msg, mtError, MsgDlgButton(mbOK), mbOK, HelpContext);
}
void TMessageDialog::ShowMessage(const QString& Msg, int HelpContext) {
  Show(Msg, mtCustom, MsgDlgButton(mbOK), mbOK, HelpContext);
}
bool TMessageDialog::Confirm(const QString& Msg, TMsgDlgBtn DefaultButton, int HelpContext) {
  return Show(Msg, mtConfirmation, MsgDlgButton(mbYes) | MsgDlgButton(mbNo), DefaultButton, HelpContext) == mrYes;
}

TModalResult TMessageDialog::Show(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons,
                                  TMsgDlgBtn DefaultButton, int HelpContext) {
  std::unique_ptr<QDialog> dialog(CreateDialog(Msg, Type, Buttons, DefaultButton, HelpContext));
  return TModalResult(dialog->exec());
}

QDialog* TMessageDialog::CreateDialog(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons,
                                      TMsgDlgBtn DefaultButton, int HelpContext) const {
  if (HelpContext != 0) Buttons |= MsgDlgButton(mbHelp);
  auto* dialog = new TMsgDlgWindow(QApplication::activeWindow());
  dialog->setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
  dialog->setModal(true);
  dialog->Message = Msg;
  QString title = fCaptions->Caption(Type);
  if (title.isEmpty()) title = QGuiApplication::applicationDisplayName();
  dialog->setWindowTitle(title);
  dialog->setWindowIcon(QApplication::windowIcon());
  dialog->setBackgroundRole(QPalette::Window);
  dialog->setAutoFillBackground(true);

  const QFontMetrics metrics(dialog->font());
  const double A = metrics.averageCharWidth(), H = metrics.height();
  const int margin = Round(2 * A), textMargin = Round(6 * H / 8), rowMargin = Round(5 * H / 8), gap = Round(A);
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QRect screenRect = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);

  // The text, wrapped within a third of the screen.
  const int widest = std::max(1, screenRect.width() / 3);
  const QRect textBounds = metrics.boundingRect(QRect(0, 0, widest, 0),
                                                Qt::TextWordWrap | Qt::TextExpandTabs | Qt::AlignLeft, Msg);
  QRect textRect(margin, textMargin, textBounds.width(), textBounds.height());
  int contentHeight = textRect.bottom() + 1 + textMargin;

  // The icon at the top-left margin, the text beside it.
  QStyle::StandardPixmap pixmaps[5] = {QStyle::SP_MessageBoxWarning, QStyle::SP_MessageBoxCritical,
                                       QStyle::SP_MessageBoxInformation, QStyle::SP_MessageBoxQuestion,
                                       QStyle::SP_CustomBase};
  if (Type != mtCustom) {
    const int iconSize = dialog->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, dialog);
    auto* icon = new QLabel(dialog);
    icon->setObjectName(QStringLiteral("Image"));
    icon->setPixmap(dialog->style()->standardIcon(pixmaps[Type], nullptr, dialog).pixmap(iconSize, iconSize));
    icon->setGeometry(margin, textMargin, iconSize, iconSize);
    textRect.moveLeft(textRect.left() + iconSize + margin);
    if (textRect.height() < iconSize) {
      const int difference = iconSize - textRect.height();
      textRect.moveTop(textRect.top() + difference / 2);
      contentHeight += difference;
    }
  }

  // The buttons, in their fixed order.
  std::vector<TMsgDlgBtn> kinds;
  for (int b = 0; b < 12; ++b)
    if (Buttons & MsgDlgButton(TMsgDlgBtn(b))) kinds.push_back(TMsgDlgBtn(b));
  std::vector<QString> captions;
  QChar hotKeys[12];
  int hotKeyCount = 0;
  for (TMsgDlgBtn kind : kinds) {
    QString caption = fButtonCaptions->Caption(kind);
    if (AutoHotKeys) {
      caption = StripHotKeys(caption);
      if (kind != mbOK && kind != mbCancel) {
        for (qsizetype i = 0; i < caption.size(); ++i) {
          if (caption[i] == u'&' && i + 1 < caption.size() && caption[i + 1] == u'&') {
            ++i;
            continue;
          }
          if (!caption[i].isLetterOrNumber()) continue;
          const QChar key = caption[i].toUpper();
          if (std::find(hotKeys, hotKeys + hotKeyCount, key) != hotKeys + hotKeyCount) continue;
          hotKeys[hotKeyCount++] = key;
          caption.insert(i, u'&');
          break;
        }
      }
    }
    captions.push_back(caption);
  }
  int buttonWidth = Round(15 * A), buttonHeight = Round(14 * H / 8);
  for (const QString& caption : captions) {
    const QRect r = metrics.boundingRect(ShownCaption(caption));
    buttonWidth = std::max(buttonWidth, r.width() + 8);
    buttonHeight = std::max(buttonHeight, r.height() + 4);
  }
  const int count = int(kinds.size());
  const int buttonsWidth = count ? count * buttonWidth + (count - 1) * gap : 0;

  int contentWidth = textRect.right() + 1 + margin;
  contentWidth = std::max({contentWidth, buttonsWidth + 2 * margin, Round(65 * A)});
  textRect.setRight(contentWidth - margin - 1);

  auto* text = new QLabel(dialog);
  text->setObjectName(QStringLiteral("Message"));
  text->setTextFormat(Qt::PlainText);
  text->setWordWrap(true);
  text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  text->setText(Msg);
  text->setGeometry(textRect);

  int height = contentHeight;
  if (count) {
    const int rowHeight = 2 * rowMargin + buttonHeight - 1;
    auto* row = new QWidget(dialog);
    row->setObjectName(QStringLiteral("ButtonRow"));
    row->setGeometry(0, contentHeight, contentWidth, rowHeight);
    auto* line = new QFrame(row);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setGeometry(0, 0, contentWidth, 1);
    int x = contentWidth - margin - buttonsWidth;
    for (int i = 0; i < count; ++i) {
      auto* button = new QPushButton(captions[size_t(i)], row);
      button->setObjectName(TMsgDlgBtnCaptions::ButtonName(kinds[size_t(i)]));
      button->setGeometry(x, rowMargin, buttonWidth, buttonHeight);
      button->setAutoDefault(false);
      x += buttonWidth + gap;
      const TMsgDlgBtn kind = kinds[size_t(i)];
      if (kind == mbHelp) {
        QObject::connect(button, &QPushButton::clicked, dialog, [this, HelpContext] {
          if (OnHelp) OnHelp(HelpContext);
        });
      } else {
        QObject::connect(button, &QPushButton::clicked, dialog, [dialog, kind] { dialog->done(ModalResultOf(kind)); });
      }
      if (kind == DefaultButton) {
        button->setDefault(true);
        button->setFocus();
      }
      dialog->Buttons.push_back(button);
    }
    dialog->Kinds = kinds;
    height = contentHeight + buttonHeight + 2 * rowMargin;
  }
  dialog->setFixedSize(contentWidth, height);
  dialog->move(screenRect.center() - QPoint(contentWidth / 2, height / 2));

  if (BiDiMode() == Qt::RightToLeft) {
    dialog->setLayoutDirection(Qt::RightToLeft);
    for (QWidget* child : dialog->findChildren<QWidget*>()) {
      QWidget* parent = child->parentWidget();
      child->move(parent->width() - child->width() - child->x(), child->y());
    }
  }
  return dialog;
}

}  // namespace I18n
