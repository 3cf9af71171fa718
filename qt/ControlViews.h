// The widgets of the model's control kinds: creating one for a control,
// bringing it in line with the control, connecting the user's actions back,
// and reading back what it shows.
#pragma once

#include <functional>
#include <string>

#include <QSize>
#include <QString>

class QWidget;

namespace pv {

class TControl;

QString Qs(const std::string &text);
// A caption whose "&" marks an access key, for widgets that show "&" as is.
QString WithoutAccessKeys(const std::string &caption);

// The renderer's side of a user action: runs the model call (with errors
// going to the application's handler) and brings the widget back in line.
using TUserAction = std::function<void(TControl *control, const std::function<void()> &call)>;

// A widget for the control, child of parent (nullptr for a form).
QWidget *CreateControlWidget(TControl *control, QWidget *parent, const TUserAction &act);
// Every property but geometry, focus and a form's visibility.
void SyncControlWidget(TControl *control, QWidget *widget);
// What the widget shows as its text; whether it is checked; its selection.
std::string ShownText(const TControl *control, const QWidget *widget);
bool ShownChecked(const TControl *control, const QWidget *widget);
int ShownItemIndex(const TControl *control, const QWidget *widget);
// The tool tip as set (plain text).
std::string ShownToolTip(const QWidget *widget);
// The size the widget needs to show its text whole (for a push button its
// text and margins, not the style's wider minimum).
QSize ShownPreferredSize(const QWidget *widget);
// A label or image: a click on it is the control's click.
bool ClickableByMouse(const TControl *control);

} // namespace pv
