// Resource and control identifiers of the updater program, shared by the
// resource script and the code.
#pragma once

#define IDD_UPDATE_DIALOG 102
#define IDI_UPDATER_ICON 128

#define IDS_PROGRAM_FILES_SUBFOLDER 1
#define IDS_GAME_REGISTRY_KEY 3
#define IDS_GAME_TITLE 4

#define IDC_INSTALL_FOLDER 1000
#define IDC_BROWSE 1001
#define IDC_EXECUTE 1002
#define IDC_PROGRESS 1003
