// The JSON Schema of each task tool's result object, declared as the tool's "outputSchema"
// where the revision has one: the "structuredContent" of every success conforms to it. Every
// revision that declares them reports verdicts (revision.h), whose members they describe.
#pragma once

#include <string_view>

#include "json_text.h"

namespace quarry {

// The schema of the named task tool's result; an empty object for a name that is not one.
Json output_schema(std::string_view tool);

}  // namespace quarry
