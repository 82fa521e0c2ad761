#include "StyleManager.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

namespace Vorelle {

const char* const TStyleManager::DarkStyleName = "Fusion Dark";

namespace {

// The name given to the last style applied through SetStyle; empty until
// then, when the toolkit's own choice is reported.
QString& AppliedName() {
  static QString name;
  return name;
}

QPalette DarkPalette() {
  const QColor window(45, 45, 48), base(30, 30, 32), text(230, 230, 230), disabled(128, 128, 128);
  const QColor highlight(42, 130, 218);
  QPalette p;
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::ToolTipBase, QColor(60, 60, 64));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, disabled);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, window);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, Qt::red);
  p.setColor(QPalette::Light, QColor(70, 70, 74));
  p.setColor(QPalette::Midlight, QColor(58, 58, 62));
  p.setColor(QPalette::Mid, QColor(38, 38, 40));
  p.setColor(QPalette::Dark, QColor(20, 20, 22));
  p.setColor(QPalette::Shadow, Qt::black);
  p.setColor(QPalette::Link, highlight.lighter(130));
  p.setColor(QPalette::Highlight, highlight);
  p.setColor(QPalette::HighlightedText, Qt::white);
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    p.setColor(QPalette::Disabled, role, disabled);
  p.setColor(QPalette::Disabled, QPalette::Base, window);
  return p;
}

// The factory key matching Name, case ignored; empty when there is none.
QString FactoryKey(const QString& Name) {
  for (const QString& key : QStyleFactory::keys())
    if (key.compare(Name, Qt::CaseInsensitive) == 0) return key;
  return {};
}

}  // namespace

QStringList TStyleManager::StyleNames() {
  QStringList names = QStyleFactory::keys();
  if (!FactoryKey("Fusion").isEmpty()) names << DarkStyleName;
  names.sort(Qt::CaseInsensitive);
  return names;
}

bool TStyleManager::IsStyleAvailable(const QString& Name) {
  for (const QString& name : StyleNames())
    if (name.compare(Name, Qt::CaseInsensitive) == 0) return true;
  return false;
}

QString TStyleManager::ActiveStyleName() {
  if (!AppliedName().isEmpty()) return AppliedName();
  QString key = qApp ? FactoryKey(qApp->style()->name()) : QString();
  return key.isEmpty() && qApp ? qApp->style()->name() : key;
}

void TStyleManager::SetStyle(const QString& Name) {
  const bool dark = Name.compare(DarkStyleName, Qt::CaseInsensitive) == 0;
  const QString key = FactoryKey(dark ? QStringLiteral("Fusion") : Name);
  QStyle* style = key.isEmpty() ? nullptr : QStyleFactory::create(key);
  if (!style) throw EStyleNotFound(Name.toStdString());
  QApplication::setStyle(style);
  QApplication::setPalette(dark ? DarkPalette() : style->standardPalette());
  AppliedName() = dark ? QString(DarkStyleName) : key;
}

}  // namespace Vorelle
