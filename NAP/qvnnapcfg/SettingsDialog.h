// The settings dialog: shows the validator's settings, checks what the administrator
// typed and writes accepted values to the registry through SHVSettings.
#pragma once

#include <windows.h>

// What SHVConfig::InvokeUI does: shows the settings dialog from the component's own
// resources, modally over parent (which may be null), and returns once it has ended.
// The template is the one FindLocalizedResource chooses for the calling thread's locale;
// for a language the component lacks, the platform's DialogBoxParamW chooses. While any
// settings dialog is open, kernel32's FindResourceW called through the main executable's
// import table reaches FindLocalizedResource; a hook that cannot be installed is logged
// (runtime logger, level "ERR") and the dialog is shown all the same. Writes the
// method's begin and end trace lines. S_OK once the dialog has ended; when it cannot be
// created at all (an owner that is no window, say), the HRESULT of the platform's last
// error, or E_FAIL when there is none. Never throws.
HRESULT InvokeSettingsDialog(HWND parent) noexcept;

// The dialog procedure.
// - WM_INITDIALOG: fills the controls from the registry and greys the fields that the
//   check box switches off; returns TRUE so that the system sets the first focus. Its
//   lParam is null or points to a bool that is set to true, to tell the dialog's
//   creator that the dialog came up.
// - OK: while the check box is ticked, checks the address (not empty), the port (a
//   number from 1 to 65535) and the cache time (a number), in that order. The first
//   refused field gets a message box with string 305 in the thread's language (empty
//   text when that string is missing or cannot be converted) and then the focus; the
//   dialog stays open, nothing is saved, and the result is FALSE. Otherwise (and always
//   while the check box is clear, unconvertible numbers counting as 0 and the port cut
//   to 16 bits) the values are written to the registry and the dialog ends; TRUE. When
//   they cannot be stored, a message box over the dialog gives the platform's text for
//   the error (in the thread's language as far as the system has it), and the dialog
//   stays open with everything as typed, and the registry and the record hold what they
//   held before OK; FALSE.
// - Cancel, Esc and the close box: the dialog ends without saving; TRUE.
// - A click on the check box: UpdateControlStates; FALSE.
// Everything else returns FALSE. Never throws: a failure inside (out of memory) leaves
// the dialog as it stands and returns FALSE.
INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// Enables the address, port and cache-time edits when the check box is ticked, and
// greys them when it is not.
void UpdateControlStates(HWND dialog) noexcept;
