// Creates kivrun.Elements and registers it in sys.modules; called once by
// the core's module initialisation.
#pragma once

namespace elements {

bool publish_module();

}  // namespace elements
