// The HTML page of tarq-ir report: one self-contained file (inline CSS,
// script and drawings, nothing fetched), readable offline.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace tarq::cli {

// Text made safe for HTML element content and attribute values.
std::string html_escape(const std::string& text);

// JSON text that can stand inside a <script> element: '<', '>' and '&' are
// written as \u escapes, so no string of the model can end the element.
std::string script_safe_json(const nlohmann::ordered_json& data);

// The page: `summary` rows (label, value: plain text, escaped here) above the
// charts the page's script draws from `data`, which holds
//   ops: [[op_type, count], ...] most frequent first
//   layers: {label: [...], ops: [...], macs: [number|null, ...],
//            live: [bytes after each layer], running: [bytes while it runs]}
//   start_bytes, unknown_sizes, unknown_macs, macs_reason
// When the script has drawn everything it sets data-render="ok" on <html>;
// script errors are listed in #script-errors.
std::string report_page(const std::string& title,
                        const std::vector<std::pair<std::string, std::string>>& summary,
                        const nlohmann::ordered_json& data);

}  // namespace tarq::cli
