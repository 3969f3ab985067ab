#pragma once
#include "transform/stores.h"

// The Transform command: fisheye picture in SourceStore -> panorama in
// PanoramaStore, copied to DisplayStore with the columns outside the saved
// square blacked out.
void RunTransform();

// One resampling pass by inverse mapping under ProjectionMode. Destination
// pixels whose 4 x 4 neighbourhood is not wholly inside the source are left as
// they are.
void ResampleImage(const TransformRecord& record);

// Blacks out, in every row of `picture`, the columns outside the saved square.
void ClearSideMargins(const PixelBuffer& picture);
