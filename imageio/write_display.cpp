#include "imageio/write_display.h"

#include "app/app_state.h"
#include "imageio/bmp_writer.h"
#include "imageio/panorama_xmp.h"
#include "transform/stores.h"

Result WriteBmpFile(std::string& name) {
  name = BmpFileName(name);
  return WriteDisplayFile(name, PictureFormat::Bmp);
}

Result WriteDisplayFile(const std::string& name, PictureFormat format) {
  const SaveShape shape = SaveAsRectangle != 0 ? SaveShape::Rectangle : SaveShape::Square;
  if (format == PictureFormat::Bmp) return WriteBmpPicture(DisplayBuffer(), shape, name);
  const PanoramaXmp xmp = PanoramaXmpFor(shape, DisplayHeight, 0.0, 0.0);
  EncodeOptions options;
  options.xmp = PanoramaShown != 0 ? &xmp : nullptr;
  options.camera = &LoadedCamera;
  return WritePictureFile(DisplayBuffer(), shape, format, options, name);
}
