#include <windows.h>

#include "updater/updater_main.h"

// A GUI-subsystem program without a window of its own: the command line is
// read with GetCommandLineA by the parameter reader.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { brindax::updater_main(); }
