#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "imageio/bmp_format.h"
#include "imageio/camera_metadata.h"
#include "transform/calibration.h"
#include "transform/dual_lens.h"
#include "transform/lens.h"

// Process-wide state through which the commands meet. The pixel stores and
// picture sizes live in transform/stores.h; the window handles live with the
// window code.

extern BitmapInfoHeader DisplayInfo;  // describes DisplayStore to the painter
extern int32_t BusyFlag;              // 1 while a long command runs: hourglass
extern int32_t CommandGuard;          // 1 while Open, Save, Save and Sharpen or Transform runs
extern int32_t ImageReady;            // 1 once a picture was loaded or transformed
extern int32_t SaveAsRectangle;       // 0: save the square, 1: the 2:1 rectangle, 2: the sphere
extern int32_t SharpenLevel;          // sharpen strength; 127 after a load, -32 per use
extern std::string WorkFolder;        // where the file dialogs open
extern CameraMetadata LoadedCamera;   // the loaded file's EXIF and colour profile
extern int32_t PanoramaShown;         // 1 from a Transform until the next load
extern Lens LensChoice;               // the Lens window's lens; no circle: centred
extern int32_t PanoramaHeightChoice;  // the panorama's height; 0: the picture's
extern int32_t ShowCircle;            // 1: the lens's circle is drawn over the fisheye
// Two lenses side by side (dual_lens.h): LensChoice is then the front lens,
// its circle in the left half's coordinates.
extern int32_t TwoLensesChoice;                      // 1: Transform stitches the two into the sphere
extern std::optional<ImageCircle> BackCircleChoice;  // in the right half's coordinates; none: the front's
extern BackLensOffset BackOffsetChoice;              // the back lens's offset from straight behind
extern std::optional<double> BackFovChoice;          // the back lens's own field of view; none: the front's
extern int32_t FitLensesChoice;                      // 1: Align fits each lens's field of view (or radius factor)
// A calibration file read in the Lens window (calibration.h): its lenses
// replace the model, placed on the picture by each Transform; LensChoice's
// field of view (360: none) and circle then only limit their field, and its
// radiusScale and BackRadiusScaleChoice are the factors Align fitted.
extern std::optional<CalibrationFile> CalibrationChoice;
extern std::string CalibrationPathChoice;            // the file it was read from
extern double BackRadiusScaleChoice;

// Window operations the commands ask for. The Windows program supplies the
// real ones; the tests link stand-ins that record the requests.
void RedrawMainWindow();
void SetMainWindowTitle(const std::string& title);
void SetTransformPriority(bool raised);
// Tells the user that `action` ("transform", "find the image circle") failed,
// and why.
void ReportCommandFailure(const std::string& action, const std::string& reason);
