#pragma once

// Commands: the menu items and the buttons share one id space, so a button
// sends the same command as the menu item of the same id.
constexpr int ID_OPEN = 100;
constexpr int ID_SAVE = 101;
constexpr int ID_SAVE_SHARPEN = 102;
constexpr int ID_ABOUT = 103;
constexpr int ID_TRANSFORM = 104;
constexpr int ID_EXIT = 105;
constexpr int ID_SQUARE = 106;
constexpr int ID_RECTANGLE = 107;
constexpr int ID_HELP = 108;
constexpr int ID_LENS_SETTINGS = 109;
constexpr int ID_FIND_CIRCLE = 110;
constexpr int ID_SHOW_CIRCLE = 111;
constexpr int ID_SAVE_SPHERE = 112;

// Controls of the title window.
constexpr int ID_TITLE_LINK = 2000;
constexpr int ID_TITLE_LABEL = 2001;
constexpr int ID_TITLE_START = 2005;

// Controls of the About window.
constexpr int ID_ABOUT_VERSION = 2001;
constexpr int ID_ABOUT_MAIL = 2002;
constexpr int ID_ABOUT_WEB = 2004;
constexpr int ID_ABOUT_NOTICE = 2005;

// Controls of the Lens window; OK and Cancel are IDOK and IDCANCEL.
constexpr int ID_LENS_MODEL = 3001;
constexpr int ID_LENS_FOV = 3002;
constexpr int ID_LENS_CENTRE_X = 3003;
constexpr int ID_LENS_CENTRE_Y = 3004;
constexpr int ID_LENS_RADIUS = 3005;
constexpr int ID_LENS_FIND = 3006;
constexpr int ID_LENS_RESET = 3007;
constexpr int ID_LENS_YAW = 3008;
constexpr int ID_LENS_PITCH = 3009;
constexpr int ID_LENS_ROLL = 3010;
constexpr int ID_LENS_HEIGHT = 3011;
constexpr int ID_LENS_LABEL = 3012;
constexpr int ID_LENS_TWO_LENSES = 3013;
constexpr int ID_LENS_BACK_X = 3014;
constexpr int ID_LENS_BACK_Y = 3015;
constexpr int ID_LENS_BACK_RADIUS = 3016;
constexpr int ID_LENS_BACK_YAW = 3017;
constexpr int ID_LENS_BACK_PITCH = 3018;
constexpr int ID_LENS_BACK_ROLL = 3019;
constexpr int ID_LENS_ALIGN = 3020;
constexpr int ID_LENS_CALIBRATION = 3021;
constexpr int ID_LENS_CALIBRATION_NAME = 3022;
constexpr int ID_LENS_BACK_FOV = 3023;
constexpr int ID_LENS_FIT_LENSES = 3024;
