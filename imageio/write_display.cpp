#include "imageio/write_display.h"

#include "app/app_state.h"
#include "imageio/bmp_writer.h"
#include "transform/stores.h"

Result WriteBmpFile(std::string& name) {
  name = BmpFileName(name);
  return WriteBmpPicture(DisplayBuffer(), SaveAsRectangle != 0 ? SaveShape::Rectangle : SaveShape::Square, name);
}
