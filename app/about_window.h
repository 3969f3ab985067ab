#pragma once

// Shows the About window over the main window; returns when it is closed.
void ShowAboutWindow();
