// Identifiers shared by rolmview.rc, the code and the tests that drive the
// viewer's window (WM_COMMAND with a menu command's identifier).
#pragma once

#define IDD_FILTERS 100
#define IDD_HIGHLIGHT 101
#define IDD_HISTORY 102
#define IDC_INCLUDE_NAME 1001
#define IDC_INCLUDE_TEXT 1002
#define IDC_EXCLUDE_NAME 1003
#define IDC_EXCLUDE_TEXT 1004
#define IDC_MAX_ROWS 1005
#define IDC_MAX_MB 1006
#define IDC_RULE_PATTERN 1100  /* + rule index */
#define IDC_RULE_BUTTON 1110   /* + rule index */
#define IDC_RULE_SWATCH 1120   /* + rule index */

#define IDM_OPEN 100
#define IDM_SAVE 101
#define IDM_EXIT 102
#define IDM_COPY 103
#define IDM_SELECT_ALL 104
#define IDM_FIND 105
#define IDM_FIND_NEXT 106
#define IDM_FIND_PREVIOUS 107
#define IDM_BOOKMARK 108
#define IDM_NEXT_BOOKMARK 109
#define IDM_PREVIOUS_BOOKMARK 110
#define IDM_TIME_ORIGIN 111
#define IDM_CLEAR 112
#define IDM_PAUSE 113
#define IDM_DEBUG_OUTPUT 114
#define IDM_HISTORY 115
#define IDM_MERGE 116
#define IDM_AUTO_SCROLL 117
#define IDM_TOP_MOST 118
#define IDM_DETAIL 119
#define IDM_FILTERS 120
#define IDM_HIGHLIGHT 121

/* Child windows of the main window. */
#define IDC_LIST 200
#define IDC_DETAIL 201
#define IDC_STATUS 202
