#include "imageio/write_display.h"

#include "app/app_state.h"
#include "imageio/bmp_writer.h"
#include "imageio/panorama_xmp.h"
#include "transform/stores.h"
#include "transform/transform_command.h"

Result WriteBmpFile(std::string& name) {
  name = BmpFileName(name);
  return WriteDisplayFile(name, PictureFormat::Bmp);
}

Result WriteDisplayFile(const std::string& name, PictureFormat format) {
  const SaveShape shape = ChosenSaveShape();
  if (format == PictureFormat::Bmp) return WriteBmpPicture(DisplayBuffer(), shape, name);
  const Lens lens = TransformLens();
  const PanoramaXmp xmp = PanoramaXmpFor(shape, DisplayHeight, lens.yawDegrees, lens.pitchDegrees);
  EncodeOptions options;
  options.xmp = PanoramaShown != 0 ? &xmp : nullptr;
  options.camera = &LoadedCamera;
  // A 16-bit picture's panorama is saved with its 16 bits where the format
  // holds them.
  const PixelBuffer16 deep = PanoramaBuffer16();
  if (Holds16Bits(format) && PanoramaShown != 0 && deep.base != nullptr && deep.width == DisplayWidth &&
      deep.height == DisplayHeight)
    return WritePictureFile16(deep, shape, format, options, name);
  return WritePictureFile(DisplayBuffer(), shape, format, options, name);
}
