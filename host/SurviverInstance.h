// TsvSurviverInstance: a form's companion on the desktop. Each time the front
// end creates the form's native window (first shown, or made again), the
// window is attached to the form through its instance. The association of
// native windows with forms is this process's own table, never a property
// kept on the display server: it does not depend on the session's server,
// and it never yields a form for a window of another process, whatever that
// window carries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pv {

class TControl;
class TForm;

class TsvSurviverInstance {
  public:
    // The form's instance, made on first use and reused for every window the
    // form gets.
    static TsvSurviverInstance &Of(TForm &form);
    // The form is going: its instance and its windows' association go. The
    // pointer only serves as a key (the form may be half destroyed).
    static void Release(const TControl *form);
    // The form whose native window this is, if this process attached it;
    // nullptr for any other window.
    static TForm *FormOfWindow(std::uint64_t window);
    // Instances alive (tests).
    static std::size_t Count();

    TsvSurviverInstance(const TsvSurviverInstance &) = delete;
    TsvSurviverInstance &operator=(const TsvSurviverInstance &) = delete;

    TForm &Form() const { return form_; }
    // After each creation of the form's native window; 0 when it was
    // destroyed.
    void WindowCreated(std::uint64_t window);
    std::uint64_t Window() const { return window_; }

  private:
    explicit TsvSurviverInstance(TForm &form) : form_(form) {}

    TForm &form_;
    std::uint64_t window_ = 0;
};

} // namespace pv
