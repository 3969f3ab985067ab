#include "app/app_state.h"

BitmapInfoHeader DisplayInfo;
int32_t BusyFlag = 0;
int32_t CommandGuard = 0;
int32_t ImageReady = 0;
int32_t SaveAsRectangle = 0;
int32_t SharpenLevel = 0;
std::string WorkFolder;
CameraMetadata LoadedCamera;
int32_t PanoramaShown = 0;
Lens LensChoice;
int32_t PanoramaHeightChoice = 0;
int32_t ShowCircle = 1;
int32_t TwoLensesChoice = 0;
std::optional<ImageCircle> BackCircleChoice;
BackLensOffset BackOffsetChoice;
std::optional<double> BackFovChoice;
int32_t FitLensesChoice = 0;
std::optional<CalibrationFile> CalibrationChoice;
std::string CalibrationPathChoice;
double BackRadiusScaleChoice = 1.0;
