// Identifiers of the component's resources, shared by the resource script and the code.
// Plain #defines only: the resource compiler reads this file too.
#pragma once

// The registration script (type "REGISTRY").
#define IDR_REGISTRATION_SCRIPT 101

// The class's localized display name, "qvnnapcfg" in every language.
#define IDS_DISPLAY_NAME 100

// The settings dialog and its controls.
#define IDD_SETTINGS 300
#define IDC_VALIDATION_ENABLED 301 // check box; the three edits below depend on it
#define IDC_CACHE_TIME 302
#define IDC_SERVER_ADDRESS 303
#define IDC_SERVER_PORT 304

// The text of the message box that rejects a value typed into the dialog.
#define IDS_INCORRECT_VALUE 305

// The application icon (icon group).
#define IDI_APPLICATION_ICON 400
