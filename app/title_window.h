#pragma once

// Shows the title window modally; returns when Start or the close box has
// ended it.
void ShowTitleWindow();
