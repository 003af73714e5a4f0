#include "shell/win32/ui_font.h"

namespace pkx::win32ui {

namespace {

void Delete(HFONT& font) {
    if (font != nullptr) DeleteObject(font);
    font = nullptr;
}

}  // namespace

void UiFont::Replace(HFONT font) {
    // A retired font still waiting means the dialog never applied the
    // current one: no control holds it, so it can go at once.
    if (retired_ != nullptr) {
        Delete(current_);
    } else {
        retired_ = current_;
    }
    current_ = font;
}

void UiFont::ReleaseRetired() { Delete(retired_); }

void UiFont::Reset() {
    Delete(retired_);
    Delete(current_);
}

}  // namespace pkx::win32ui
