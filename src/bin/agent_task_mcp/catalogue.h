// The catalogue of the four task tools, answered to "tools/list".
#pragma once

#include <string>

#include "json_text.h"
#include "revision.h"

namespace quarry {

// One tool definition: {"description", "inputSchema", "name"}.
Json tool_def(const std::string& name, const std::string& description, Json input_schema);

// The reply line to "tools/list" under the revision; the request's params are never looked at.
// `fixed_verifier`, when not nullptr, is the verifier the operator fixed: verify_cmd is then
// optional.
std::string handle_tools_list(const Json& id, Revision revision,
                              const std::string* fixed_verifier = nullptr);

}  // namespace quarry
