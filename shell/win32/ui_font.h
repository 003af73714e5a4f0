// The one font of every dialog control. The worker makes a new one per
// package; a font may only be deleted once no control holds it any more.
#pragma once

#include <windows.h>

namespace pkx::win32ui {

class UiFont {
  public:
    UiFont() = default;
    UiFont(const UiFont&) = delete;
    UiFont& operator=(const UiFont&) = delete;
    ~UiFont() { Reset(); }

    HFONT Current() const { return current_; }

    // Takes over `font` (worker thread, before EV_APPLY_TEXTS is sent). The
    // previous font stays alive: the progress dialog's controls still hold it.
    void Replace(HFONT font);

    // The progress dialog has given the current font to its controls (the
    // worker is blocked in the send, and every prompt is closed), so the
    // previous one is held by no control any more.
    void ReleaseRetired();

    // Deletes both fonts (at exit).
    void Reset();

  private:
    HFONT current_ = nullptr;
    HFONT retired_ = nullptr;
};

}  // namespace pkx::win32ui
