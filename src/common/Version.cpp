#include "common/Version.h"

namespace kestrune {

const char* VersionString() { return KESTRUNE_VERSION; }

}  // namespace kestrune
