#pragma once

namespace kestrune {

// The project's version, as set in the top-level build file.
const char* VersionString();

}  // namespace kestrune
