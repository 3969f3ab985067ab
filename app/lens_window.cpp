#include "app/lens_window.h"

// Placeholder until the Lens window is built: opens nothing.
void ShowLensWindow() {}
