// The build without an operating-system layer: an empty simulated platform, on which the utility finds nothing.
#include "PlatformFactory.h"
#include "SimulatedPlatform.h"

namespace tarvo {

std::unique_ptr<ApiDeclarations> MakeSystemPlatform() { return std::make_unique<SimulatedPlatform>(); }

}  // namespace tarvo
