// The main window's arrangement: the compact form, the option area opened or
// closed, the version label and the privacy link's font.
#pragma once
#include <windows.h>

// Hides the list area and makes the window end 16 pixels below the password
// field, with "Start Rerudi" reaching down to it.
void ApplyCompactLayout(HWND dlg);
// Shows or hides the option area and sizes the window to end 15 pixels below
// it (the list when expanded, the Options button otherwise); moves the version
// label unless this is the first layout of a closed area.
void LayOutOptions(HWND dlg, bool expanded, bool initial);
// A font like the link's own with a character height of 12; the caller frees it.
HFONT SetPrivacyFont(HWND link);
