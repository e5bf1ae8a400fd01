// Small helpers for writing SVG text by hand: escaping and numbers.
#pragma once

#include <stdint.h>

#include <string>

namespace tavu {

// Text safe inside XML character data and attribute values: markup
// characters escaped, characters XML forbids dropped, and bytes that are not
// UTF-8 replaced by U+FFFD so that the document stays well-formed.
std::string XmlText(const std::string& text);

// A coordinate with at most two decimals.
std::string SvgNumber(double value);

}  // namespace tavu
