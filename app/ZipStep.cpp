// The ZIP packing step, until it is built: without a ZIP library ZIP
// compression cannot be used, and a job that asks for it ends the program.
#include "app/FrmMain.h"

namespace pv {

bool TfrmMain::LoadZipLibrary() {
    return false;
}

void TfrmMain::UnloadZipLibrary() {}

void TfrmMain::ZipFiles() {}

} // namespace pv
