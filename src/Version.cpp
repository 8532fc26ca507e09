#include "TovrinTracker/Version.hpp"

namespace tovrin {

const double TovrinTrackerVersionNumber = 1.0;
const unsigned char TovrinTrackerVersionString[] = "@(#)PROGRAM:TovrinTracker  PROJECT:Tovrin-1\n";

}  // namespace tovrin
