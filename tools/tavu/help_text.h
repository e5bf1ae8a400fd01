// The help file's topics as plain text, rendered at build time from the same
// help/ HTML that TAVU.CHM is compiled from (tools/helptext.py), so that
// `tavu fly` shows what the simulator would.
#pragma once

#include <stddef.h>

#include <string_view>

namespace tavu {

struct HelpTopic {
    const char* topic;  // as the module names it: "/Commands.htm"
    const char* title;
    const char* text;  // lines of at most 72 columns
};

extern const char kHelpFileName[];  // "TAVU.CHM"
extern const HelpTopic kHelpTopics[];
extern const size_t kHelpTopicCount;

// The topic a help request names, when its file is the help file (any
// folder, any case, as Windows finds it); nullptr otherwise.
const HelpTopic* FindHelpTopic(std::string_view file, std::string_view topic);

}  // namespace tavu
