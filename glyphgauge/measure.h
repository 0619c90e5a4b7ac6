#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pagelift/ocr/text_engine.h"

namespace glyphgauge {

// The fixed recognition settings of the probe.
ocr::Settings probeSettings();

// {"big": tallest counted line of 3 or more characters and a tenth of the width or more, as a
// fraction of the picture's height; "lines": observations with confidence 0.3 or more}.
nlohmann::json measurement(const std::vector<ocr::Observation>& observations);

// The measurement of one picture file; both values 0 when it cannot be read or recognised.
nlohmann::json measure(ocr::TextEngine& engine, const std::string& path);

}  // namespace glyphgauge
