#pragma once
// Resource ids shared by the agent's resources and code.
#define IDR_MAINFRAME 128
#define IDR_MENU_EXIT 129
#define IDR_MENU_TRAY 130
#define ID_APP_EXIT_CMD 32772
#define ID_RELEASE_CMD 32779
#define ID_STATUS_FIRST 32800
