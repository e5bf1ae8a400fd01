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

// Appends `value` with at most `decimals` places and no trailing zeros
// ("12.5", "-3", never "-0"); the per-object path of a large map, without a
// string per number.
void AppendNumber(std::string& out, double value, int decimals);

}  // namespace tavu
