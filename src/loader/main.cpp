// Program entry of the loader: fixes the log folder, initialises the
// application, creates the splash window as the main window and runs the
// message loop until that window is closed.
#include "loader/fMain.h"
#include "platform/gui.h"
#include "support/u_Utility.h"

int main() {
  InitializeUtilityUnit();
  platform::InitApplication();
  {
    TfrmMain form;
    platform::RunMessageLoop();
  }
  FinalizeUtilityUnit();
  return 0;
}
