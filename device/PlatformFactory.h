// The operating-system layer of the build: each platform library (Win32, hidapi) defines this function once,
// so the program chooses its layer by what it links, not by preprocessor tests.
#pragma once

#include "ApiDeclarations.h"

#include <memory>

namespace tarvo {

// A new instance of this build's ApiDeclarations implementation; never null.
std::unique_ptr<ApiDeclarations> MakeSystemPlatform();

}  // namespace tarvo
