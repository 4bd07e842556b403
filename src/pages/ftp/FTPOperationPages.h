// The pages of the FTP actions that each perform one operation, of the download, the wait for a
// file and the upload.
#pragma once

#include "pages/ftp/FTPActionPage.h"

namespace zr::pages {

void RegisterFTPOperationPages();

} // namespace zr::pages
