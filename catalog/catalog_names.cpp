#include "catalog/catalog_names.h"

#include <algorithm>
#include <cstring>

#include "catalog/catalog.h"

namespace catalog_names {

namespace {

constexpr size_t kMaxSuggestions = 3;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string FieldName(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

}  // namespace

std::string Normalize(std::string_view name) {
    std::string out;
    bool space = false;
    for (char c : name) {
        if (IsSpace(c)) {
            space = !out.empty();
            continue;
        }
        if (space) {
            out += ' ';
            space = false;
        }
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

NameMatch MatchName(std::string_view typed, const std::vector<std::string>& names) {
    NameMatch match;
    const std::string wanted = Normalize(typed);
    std::vector<std::pair<size_t, size_t>> distances;  // (distance, index)
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string candidate = Normalize(names[i]);
        if (candidate == wanted) {
            match.index = static_cast<int>(i);
            return match;
        }
        distances.emplace_back(EditDistance(wanted, candidate), i);
    }
    // A third of the typed length, at least two: "chek" finds "check", "tre 1"
    // finds "Tree  1", but "xyz" does not turn into "Cat".
    const size_t limit = std::max<size_t>(2, wanted.size() / 3);
    std::stable_sort(distances.begin(), distances.end());
    for (const auto& [distance, index] : distances) {
        if (distance > limit || distance > distances.front().first ||
            match.suggestions.size() == kMaxSuggestions) {
            break;
        }
        match.suggestions.push_back(names[index]);
    }
    return match;
}

std::string DidYouMean(const NameMatch& match) {
    if (match.suggestions.empty()) {
        return "";
    }
    std::string out = "; did you mean ";
    for (size_t i = 0; i < match.suggestions.size(); ++i) {
        if (i > 0) {
            out += i + 1 == match.suggestions.size() ? " or " : ", ";
        }
        out += "\"" + match.suggestions[i] + "\"";
    }
    return out + "?";
}

NameMatch MatchEntry(std::string_view typed, int groupIndex) {
    std::vector<std::string> names;
    std::vector<int> indexes;
    for (int i = 0; i < ObjectCatalog.entryCount; ++i) {
        const CatalogEntry& entry = ObjectCatalog.entries[i];
        if (groupIndex >= 0 && entry.groupKey != ObjectCatalog.groups[groupIndex].key) {
            continue;
        }
        names.push_back(FieldName(entry.name, sizeof entry.name));
        indexes.push_back(i);
    }
    NameMatch match = MatchName(typed, names);
    if (match.index >= 0) {
        match.index = indexes[static_cast<size_t>(match.index)];
    }
    return match;
}

NameMatch MatchGroup(std::string_view typed) {
    std::vector<std::string> names;
    for (int g = 0; g < ObjectCatalog.groupCount; ++g) {
        names.push_back(FieldName(ObjectCatalog.groups[g].name, sizeof ObjectCatalog.groups[g].name));
    }
    return MatchName(typed, names);
}

}  // namespace catalog_names
