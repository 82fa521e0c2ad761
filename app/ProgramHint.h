// The program's own tooltip window. Install it once at start-up, before any
// window exists; from then on every tooltip of the program is drawn by it:
// a 10 pt text wrapped at 300 pixels, laid out 10 pixels from the left and
// top edges of a window 20 pixels larger than the text, hidden after five
// seconds.
//
//   TProgramHint::Install();
//   TProgramHint::SetShowHints(*mainForm, AppOptions.ShowHints());
//
// Hints are switched per window: a window whose hints are off shows none.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

namespace Vorelle {

class TProgramHint : public QWidget {
  Q_OBJECT
public:
  static constexpr int FontPointSize = 10;
  static constexpr int TextMargin = 10;      // text offset from the left and top edges
  static constexpr int ExtraSize = 20;       // the window is this much larger than the text
  static constexpr int MaxHintWidth = 300;   // texts wrap at this width
  static constexpr int HideTimeout = 5000;   // milliseconds until the hint hides

  explicit TProgramHint(QWidget* Owner = nullptr);

  // Makes this the program's tooltip window (idempotent).
  static void Install();
  // The program's tooltip window, null before Install.
  static TProgramHint* Instance();
  // Hints of Window (and everything in it) on or off.
  static void SetShowHints(QWidget& Window, bool Show);
  static bool ShowHints(const QWidget& Window);

  // The rectangle of Hint's text laid out at 0, 0 with the hint font.
  QRect CalcHintRect(const QString& Hint) const;
  // Shows Hint with its text at Rect (screen coordinates): the window takes
  // Rect enlarged by ExtraSize to the right and downwards.
  void ActivateHint(const QRect& Rect, const QString& Hint);
  // Shows Hint for the mouse at GlobalPos, below and right of the cursor,
  // kept on the screen.
  void ShowHintAt(const QPoint& GlobalPos, const QString& Hint);
  void HideHint();
  const QString& Hint() const { return FHint; }
  const QTimer& HideTimer() const { return FHideTimer; }

protected:
  void paintEvent(QPaintEvent* Event) override;

private:
  QString FHint;
  QTimer FHideTimer;
};

}  // namespace Vorelle
