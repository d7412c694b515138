#pragma once
// The driver's own version strings (compiled in from the build's project
// version) and the build stamp, as the status view and the About box show
// them. Qt-free.

#include <string>

namespace vorn {

// "2, 1, 0, 30" form.
const char* FileVersionText();
const char* ProductVersionText();
// Free change note of this build.
const char* CommentsText();

// The product version with every comma turned into a full stop; the blanks
// stay ("2, 1, 0, 30" gives "2. 1. 0. 30").
std::string DottedProductVersion();

// Status field 1000 = DottedProductVersion(). GUI thread.
void ShowDriverVersion();

// "Version %s  (%s)" of the file and the product version (commas kept).
std::string AboutVersionLine();
// "%s - %s" of the build date (Mmm dd yyyy) and time (hh:mm:ss).
std::string BuildStampText();

}  // namespace vorn
