// Resource and control identifiers, shared by the program, its resource script and the
// end-to-end tests that drive its window. Plain macros: windres reads this file too.
#pragma once

#define IDI_APP 1

#define KV_FORM_CLASS L"KorvaneUpdateForm"
#define KV_FORM_CAPTION L"Korvane - Update"

// Control IDs avoid IDOK (1) and IDCANCEL (2): a button with either ID would take Enter or
// Escape for the whole window.
#define IDC_LABEL1 101
#define IDC_LABEL5 102
#define IDC_LABEL2 103
#define IDC_TEXT1 104
#define IDC_COMMAND1 105
#define IDC_COMMAND2 106
#define IDC_LABEL4 107
#define IDC_LABEL3 108
