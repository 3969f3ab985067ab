// Linked into quorvane_without_memory in place of the engine's reservation:
// the program as it starts on a machine without 200,000,000 bytes to spare.
#include "transform/stores.h"

bool ReserveSourceStore() { return false; }
