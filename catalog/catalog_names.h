// Catalog names as people type them: in session scripts, on the command line
// and in imported files. Case and runs of spaces do not count ("tree 1" is
// "Tree  1"); when nothing matches, the closest names are offered instead.
// The tools' side of the catalog: the module itself never looks names up, so
// this file is not part of the DLL.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace catalog_names {

// Lower case, each run of white space one space, none at either end.
std::string Normalize(std::string_view name);

struct NameMatch {
    int index = -1;                        // into the names given; -1 when none matches
    std::vector<std::string> suggestions;  // when none matches: the closest names, best first
};

// Matches `typed` against `names` as above; suggestions are the names at the
// smallest edit distance (at most three), when that distance is small enough
// to be a slip rather than another name.
NameMatch MatchName(std::string_view typed, const std::vector<std::string>& names);

// "; did you mean "A" or "B"?", or "" without suggestions.
std::string DidYouMean(const NameMatch& match);

// Over the catalog: an entry (only among those of group `groupIndex` when it
// is 0 or more) or a group, by name. Indexes are the catalog's own.
NameMatch MatchEntry(std::string_view typed, int groupIndex = -1);
NameMatch MatchGroup(std::string_view typed);

}  // namespace catalog_names
