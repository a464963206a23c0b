// The filter, highlight and history limit dialogs: each edits a copy and returns true on OK.
#pragma once

#include <windows.h>

#include "settings.h"

namespace rolmview {

bool EditFilters(HWND owner, Settings& settings);
bool EditHighlights(HWND owner, Settings& settings);
bool EditHistoryLimit(HWND owner, Settings& settings);

}  // namespace rolmview
