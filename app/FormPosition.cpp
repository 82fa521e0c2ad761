#include "FormPosition.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <limits>

#include "ProgramHelp.h"

namespace Vorelle {

namespace {

std::string ValueName(const QWidget& Form, const char* Edge) { return Form.objectName().toStdString() + Edge; }

bool ReadPosition(TRegistry& Registry, const std::string& Name, int& Value) {
  if (!Registry.ValueExists(Name) || Registry.GetDataType(Name) != TRegDataType::rdInteger) return false;
  Value = Registry.ReadInteger(Name);
  return true;
}

// Squared distance from a point to the nearest point of a rectangle.
qint64 DistanceSquared(const QPoint& P, const QRect& R) {
  qint64 dx = P.x() < R.left() ? R.left() - P.x() : (P.x() > R.right() ? P.x() - R.right() : 0);
  qint64 dy = P.y() < R.top() ? R.top() - P.y() : (P.y() > R.bottom() ? P.y() - R.bottom() : 0);
  return dx * dx + dy * dy;
}

}  // namespace

QPoint TFormPosition::ReachablePosition(const QRect& Frame, const QVector<QRect>& Screens) {
  const QRect* nearest = nullptr;
  qint64 best = std::numeric_limits<qint64>::max();
  for (const QRect& screen : Screens) {
    if (screen.intersects(Frame)) return Frame.topLeft();
    qint64 d = DistanceSquared(Frame.center(), screen);
    if (d < best) best = d, nearest = &screen;
  }
  if (!nearest) return Frame.topLeft();
  // Keep the frame inside the screen; a frame larger than the screen keeps
  // its top-left corner (title bar) on it.
  int x = std::clamp(Frame.left(), nearest->left(), std::max(nearest->left(), nearest->right() + 1 - Frame.width()));
  int y = std::clamp(Frame.top(), nearest->top(), std::max(nearest->top(), nearest->bottom() + 1 - Frame.height()));
  return {x, y};
}

void TFormPosition::Load(TRegistry& Registry, const std::string& RegKey, QWidget& Form) {
  if (!Registry.OpenKey(RegKey, true)) return;
  QPoint pos = Form.frameGeometry().topLeft();
  int value;
  if (ReadPosition(Registry, ValueName(Form, ".Top"), value)) pos.setY(value);
  if (ReadPosition(Registry, ValueName(Form, ".Left"), value)) pos.setX(value);
  Registry.CloseKey();

  QVector<QRect> screens;
  for (QScreen* screen : QGuiApplication::screens()) screens << screen->availableGeometry();
  QRect frame = Form.frameGeometry();
  frame.moveTopLeft(pos);
  Form.move(ReachablePosition(frame, screens));
}

void TFormPosition::Load(const std::string& RegKey, QWidget& Form) {
  TSettingsFile settings;
  Load(settings, RegKey, Form);
}

void TFormPosition::Save(TRegistry& Registry, const std::string& RegKey, const QWidget& Form) {
  if (!Registry.OpenKey(RegKey, true)) return;
  QPoint pos = Form.frameGeometry().topLeft();
  Registry.WriteInteger(ValueName(Form, ".Top"), pos.y());
  Registry.WriteInteger(ValueName(Form, ".Left"), pos.x());
  Registry.CloseKey();
}

void TFormPosition::Save(const std::string& RegKey, const QWidget& Form) {
  TSettingsFile settings;
  Save(settings, RegKey, Form);
}

void TFirstLaunch::OpenHelpOnFirstLaunch(TRegistry& Registry, const std::string& RegKey) {
  if (!Registry.OpenKey(RegKey, false)) return;
  if (!Registry.ValueExists("FirstLaunch")) {
    TProgramHelp::OpenProgramHelp();
    Registry.WriteInteger("FirstLaunch", 0);
  }
  Registry.CloseKey();
}

void TFirstLaunch::OpenHelpOnFirstLaunch(const std::string& RegKey) {
  TSettingsFile settings;
  OpenHelpOnFirstLaunch(settings, RegKey);
}

}  // namespace Vorelle
