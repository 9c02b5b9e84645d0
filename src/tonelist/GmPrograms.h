#pragma once

#include <array>
#include <string_view>

constexpr int kGmProgramCount = 128;

// The tone list's entries, the position being the General MIDI program number. The texts are
// shown as they have always been, slips included ("21;Accordion Fr", "94:Ha;p Pad",
// "106:Shamisen:"): players know them by sight, and nothing ever reads a number back out of
// them.
extern const std::array<std::string_view, kGmProgramCount> kGmPrograms;
