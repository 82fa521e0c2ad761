#include "ProgramHint.h"

#include <QApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QToolTip>
#include <climits>

namespace Vorelle {

namespace {

const char* const ShowHintsProperty = "vorelleShowHints";

// Turns the toolkit's tooltip requests into hints of the program's window,
// and hides the hint when the user moves on.
class THintFilter : public QObject {
public:
  explicit THintFilter(TProgramHint* Hint) : QObject(Hint), FHint(Hint) {}

  bool eventFilter(QObject* Watched, QEvent* Event) override {
    switch (Event->type()) {
      case QEvent::ToolTip: {
        auto* widget = qobject_cast<QWidget*>(Watched);
        if (!widget || !FHint) return false;
        QString text = widget->toolTip();
        if (text.isEmpty() || !TProgramHint::ShowHints(*widget)) {
          if (widget == FHinted) FHint->HideHint();
          // Nothing to show: keep the toolkit's own tooltip away as well.
          Event->ignore();
          return !text.isEmpty();
        }
        FHinted = widget;
        FHint->ShowHintAt(static_cast<QHelpEvent*>(Event)->globalPos(), text);
        return true;
      }
      case QEvent::Leave:
        if (Watched == FHinted && FHint) FHint->HideHint();
        break;
      case QEvent::MouseButtonPress:
      case QEvent::KeyPress:
      case QEvent::Wheel:
      case QEvent::WindowDeactivate:
        if (FHint && FHint->isVisible()) FHint->HideHint();
        break;
      default:
        break;
    }
    return false;
  }

private:
  QPointer<TProgramHint> FHint;
  QPointer<QWidget> FHinted;
};

// The program's one hint window, which lives as long as the process (the
// pointer itself is never destroyed, so it stays valid at exit).
QPointer<TProgramHint>& TheHint() {
  static auto* hint = new QPointer<TProgramHint>;
  return *hint;
}

}  // namespace

TProgramHint::TProgramHint(QWidget* Owner) : QWidget(Owner, Qt::ToolTip | Qt::BypassGraphicsProxyWidget) {
  setObjectName("ProgramHint");
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setForegroundRole(QPalette::ToolTipText);
  setBackgroundRole(QPalette::ToolTipBase);
  setAutoFillBackground(true);
  QFont font = QToolTip::font();
  font.setPointSize(FontPointSize);
  setFont(font);
  FHideTimer.setSingleShot(true);
  FHideTimer.setInterval(HideTimeout);
  connect(&FHideTimer, &QTimer::timeout, this, &TProgramHint::HideHint);
}

void TProgramHint::Install() {
  if (TheHint()) return;
  TheHint() = new TProgramHint();
  qApp->installEventFilter(new THintFilter(TheHint()));
}

TProgramHint* TProgramHint::Instance() { return TheHint().data(); }

void TProgramHint::SetShowHints(QWidget& Window, bool Show) {
  Window.setProperty(ShowHintsProperty, Show);
  if (!Show && TheHint() && TheHint()->isVisible()) TheHint()->HideHint();
}

bool TProgramHint::ShowHints(const QWidget& Window) {
  // The nearest window up the chain that has a setting decides.
  for (const QWidget* w = &Window; w; w = w->parentWidget()) {
    QVariant show = w->property(ShowHintsProperty);
    if (show.isValid()) return show.toBool();
  }
  return true;
}

QRect TProgramHint::CalcHintRect(const QString& Hint) const {
  return fontMetrics().boundingRect(QRect(0, 0, MaxHintWidth, INT_MAX / 2), Qt::AlignLeft | Qt::TextWordWrap, Hint);
}

void TProgramHint::ActivateHint(const QRect& Rect, const QString& Hint) {
  FHint = Hint;
  setGeometry(Rect.adjusted(0, 0, ExtraSize, ExtraSize));
  update();
  show();
  raise();
  FHideTimer.start();
}

void TProgramHint::ShowHintAt(const QPoint& GlobalPos, const QString& Hint) {
  QRect rect = CalcHintRect(Hint);
  // Below the cursor, as the desktop places tooltips.
  rect.moveTopLeft(GlobalPos + QPoint(2, 20));
  if (QScreen* screen = QGuiApplication::screenAt(GlobalPos)) {
    QRect area = screen->availableGeometry();
    QRect window = rect.adjusted(0, 0, ExtraSize, ExtraSize);
    if (window.right() > area.right()) rect.moveLeft(std::max(area.left(), area.right() + 1 - window.width()));
    if (window.bottom() > area.bottom()) rect.moveTop(GlobalPos.y() - window.height() - 2);
  }
  ActivateHint(rect, Hint);
}

void TProgramHint::HideHint() {
  FHideTimer.stop();
  hide();
}

void TProgramHint::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::ToolTipText));
  painter.drawText(QRect(QPoint(TextMargin, TextMargin), rect().bottomRight()), Qt::AlignLeft | Qt::TextWordWrap,
                   FHint);
}

}  // namespace Vorelle
