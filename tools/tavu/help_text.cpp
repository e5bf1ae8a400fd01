#include "tools/tavu/help_text.h"

#include <algorithm>
#include <cctype>

namespace tavu {

namespace {

bool SameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

const HelpTopic* FindHelpTopic(std::string_view file, std::string_view topic) {
    size_t slash = file.find_last_of("\\/");
    if (!SameLetters(slash == std::string_view::npos ? file : file.substr(slash + 1), kHelpFileName)) {
        return nullptr;
    }
    for (size_t i = 0; i < kHelpTopicCount; ++i) {
        if (SameLetters(kHelpTopics[i].topic, topic)) {
            return &kHelpTopics[i];
        }
    }
    return nullptr;
}

}  // namespace tavu
