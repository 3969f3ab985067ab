// Kept apart from the other stores so that a test program can link a
// reservation of its own that fails, and show what a user whose machine has
// too little memory sees.
#include "transform/stores.h"

bool ReserveSourceStore() {
  SourceStore = AllocatePixels(kSourceCapacityPixels);
  SourcePixels = SourceStore.get();
  return SourcePixels != nullptr;
}
