// Identifiers shared by the dialogs of rolmview.rc and the code.
#pragma once

#define IDD_FILTERS 100
#define IDD_HIGHLIGHT 101
#define IDC_INCLUDE_NAME 1001
#define IDC_INCLUDE_TEXT 1002
#define IDC_EXCLUDE_NAME 1003
#define IDC_EXCLUDE_TEXT 1004
#define IDC_RULE_PATTERN 1100  /* + rule index */
#define IDC_RULE_BUTTON 1110   /* + rule index */
#define IDC_RULE_SWATCH 1120   /* + rule index */
