// Catalog names as people type them.
#include <gtest/gtest.h>

#include "catalog/catalog_names.h"

namespace {

struct NameCase {
    const char* typed;
    int group;           // -1: the whole catalog
    int index;           // expected entry, -1 for none
    const char* advice;  // DidYouMean when none
};

TEST(CatalogNames, CaseAndRunsOfSpacesDoNotCountAndNearMissesAreSuggested) {
    const NameCase cases[] = {
        {"Tree  1", -1, 300, ""},
        {"  tree 1 ", -1, 300, ""},
        {"TREE\t1", -1, 300, ""},
        {"cat", -1, 163, ""},
        {"tre 1", -1, -1, "; did you mean \"Tree  1\"?"},
        {"Tree 1", 0, -1, ""},  // in another group only
        {"Hot air balloon", -1, -1, "; did you mean \"Hot air ballon\"?"},
        {"b737 delt", -1, -1, "; did you mean \"B737 Delta\"?"},
        {"xyz", -1, -1, ""},
        {"", -1, -1, ""},
    };
    for (const NameCase& c : cases) {
        catalog_names::NameMatch match = catalog_names::MatchEntry(c.typed, c.group);
        EXPECT_EQ(match.index, c.index) << c.typed;
        EXPECT_EQ(catalog_names::DidYouMean(match), c.advice) << c.typed;
    }
    EXPECT_EQ(catalog_names::MatchGroup("airport   OBJECTS").index, 3);
    EXPECT_EQ(catalog_names::DidYouMean(catalog_names::MatchName("chek", {"catalog", "check", "dump"})),
              "; did you mean \"check\"?");
    EXPECT_EQ(catalog_names::DidYouMean(catalog_names::MatchName("dum", {"dump", "drum", "map"})),
              "; did you mean \"dump\" or \"drum\"?");
}

}  // namespace
