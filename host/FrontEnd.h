// A desktop front end, loaded at run time from a module beside the program so
// that a headless run never loads a toolkit. While it exists it renders the
// model forms, answers the dialog service and provides the notification area;
// Run drives the program's message loop inside the toolkit's.
#pragma once

#include <memory>
#include <string>

#include "platform/MessageLoop.h"

namespace pv {

class TApplication;
class TControl;

// What the front end shows for a control, for tests and diagnostics.
struct TViewState {
    bool Rendered = false; // a widget exists for it
    bool Visible = false;  // on screen (its window shown, it and its parents visible)
    bool Enabled = false;  // usable (its parents enabled too)
    bool Focused = false;
    bool Checked = false;
    int ItemIndex = -1;
    std::string Text; // caption, text or window title as shown
    std::string ToolTip;
    int Left = 0, Top = 0, Width = 0, Height = 0; // in its parent
    int ScreenX = 0, ScreenY = 0;                 // its top-left corner on the screen
    // The size it asks for to show its text whole.
    int PreferredWidth = 0, PreferredHeight = 0;
};

class TFrontEnd {
  public:
    virtual ~TFrontEnd() = default;
    virtual const char *Name() const = 0;
    // The program's main loop: returns once the application has terminated.
    virtual void Run(TApplication &app) = 0;
    // Runs the toolkit's events and the program's messages for about ms
    // milliseconds (tests).
    virtual void ProcessEvents(int ms) = 0;
    virtual TViewState Inspect(const TControl *control) = 0;
    // Where the notification area shows the icon of window (screen
    // coordinates); false when it shows none.
    virtual bool TrayIconRect(HWND window, int &x, int &y, int &width, int &height) = 0;
    // The tool tip the notification area shows for that icon ("" for none).
    virtual std::string TrayToolTip(HWND window) = 0;
};

// The module's factory, exported with C linkage under this name. It returns
// nullptr when the toolkit cannot start. argc and argv must outlive the front
// end.
using TFrontEndFactory = TFrontEnd *(*)(int *argc, char **argv);
constexpr const char *kFrontEndFactory = "PvCreateFrontEnd";
// The module's file name, beside the program.
constexpr const char *kFrontEndModule = "libpv_qt.so";

// Whether a display can be reached: $DISPLAY (an X server answers) or
// $WAYLAND_DISPLAY (its socket accepts a connection).
bool DisplayPresent();

// Loads the module (kept loaded for the rest of the process) and creates the
// front end; nullptr with a reason in error when that fails.
std::unique_ptr<TFrontEnd> LoadFrontEnd(const std::string &modulePath, int &argc, char **argv,
                                        std::string &error);

} // namespace pv
