// The object properties dialog, driven as a user would drive it.
#include "catalog/object_dialog.h"
#include "tests/support/dialog_fixture.h"

using platform::ComboSelection;
using platform::ControlEnabled;
using platform::ControlText;
using platform::UserChooseItem;
using platform::UserClick;
using platform::UserTypeText;
using testsupport::MakeRecord;

namespace {

class ObjectDialog : public testsupport::DialogTest {
protected:
    // Runs the dialog procedure directly, as the host's RunDialog does.
    INT_PTR Run(std::function<void(HWND)> user) {
        return platform::RunDialog(state.moduleInstance, IDD_OBJECT_PROPERTIES, ObjectDialogProc, user);
    }
};

TEST_F(ObjectDialog, FirstAddAfterLoadShowsTheFirstAircraft) {
    INT_PTR result = Run([](HWND dialog) {
        EXPECT_EQ(ControlText(dialog, IDC_TITLE_LINE), "ADDING A NEW OBJECT");
        EXPECT_EQ(platform::DialogCaption(dialog), "Orvanta: Object Properties");
        EXPECT_EQ(ComboSelection(dialog, IDC_GROUP_LIST), "Aircraft");
        EXPECT_EQ(ComboSelection(dialog, IDC_OBJECT_LIST), "B737 Air France");
        EXPECT_EQ(ControlText(dialog, IDC_SCALE), "--");
        EXPECT_FALSE(ControlEnabled(dialog, IDC_SCALE));
        EXPECT_EQ(ControlText(dialog, IDC_MAX_DISTANCE), "1400");
        EXPECT_EQ(PreviewPath(dialog), "QIRO\\TAVU\\BMP\\SfB737-AirFr.BMP");
        EXPECT_EQ(platform::LiveBitmapCount(), 1);
        // Lists are sorted; item data still names the catalog rows.
        std::vector<std::string> groups = platform::ComboItems(dialog, IDC_GROUP_LIST);
        ASSERT_EQ(groups.size(), 12u);
        EXPECT_TRUE(std::is_sorted(groups.begin(), groups.end()));
        EXPECT_EQ(platform::ComboItems(dialog, IDC_OBJECT_LIST).size(), 18u);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(platform::LiveBitmapCount(), 0) << "the last preview is deleted when the dialog ends";
}

TEST_F(ObjectDialog, EditingShowsTheObjectsOwnValuesOnlyUntilTheFirstChange) {
    state.dialogEditsExisting = 1;
    state.groupIndex = 5;
    state.objectIndex = 174;  // "Elephant 1"
    state.scalePercent = 150;
    state.maxDistance = 2500;
    INT_PTR result = Run([](HWND dialog) {
        EXPECT_EQ(ControlText(dialog, IDC_TITLE_LINE), "OBJECT PROPERTIES");
        EXPECT_EQ(ComboSelection(dialog, IDC_OBJECT_LIST), "Elephant 1");
        EXPECT_EQ(ControlText(dialog, IDC_SCALE), "150");
        EXPECT_EQ(ControlText(dialog, IDC_MAX_DISTANCE), "2500");
        ASSERT_TRUE(UserChooseItem(dialog, IDC_OBJECT_LIST, "Lion"));
        EXPECT_EQ(PreviewPath(dialog), std::string("QIRO\\TAVU\\BMP\\") + ObjectCatalog.entries[185].bitmap);
        EXPECT_EQ(platform::LiveBitmapCount(), 1) << "the previous preview was deleted";
        ASSERT_TRUE(UserChooseItem(dialog, IDC_OBJECT_LIST, "Elephant 1"));
        EXPECT_EQ(ControlText(dialog, IDC_SCALE), "220");
        EXPECT_EQ(ControlText(dialog, IDC_MAX_DISTANCE), "1800");
        ASSERT_TRUE(UserClick(dialog, IDOK));
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(state.dialogEditsExisting, 0u);
    EXPECT_EQ(state.scalePercent, 220);
    EXPECT_EQ(state.maxDistance, 1800u);
    EXPECT_EQ(state.objectIndex, 174);
    EXPECT_EQ(platform::LiveBitmapCount(), 0);
}

TEST_F(ObjectDialog, ScaleAndDistanceFieldsAreBoundedOnOk) {
    state.groupIndex = 5;
    state.objectIndex = 174;
    const struct {
        const char* scale;
        const char* distance;
        int32_t percent;
        uint32_t range;
    } cases[] = {{"0", "0", 1, 0},           {"", "70000", 1, 70000}, {"2500", "1", 2000, 1},
                 {"2000", "4294967295", 2000, 4294967295u}, {"1", "", 1, 0}, {"150", "2500", 150, 2500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "scale '" << c.scale << "' distance '" << c.distance << "'");
        EXPECT_EQ(Run([&](HWND dialog) {
                      ASSERT_TRUE(UserTypeText(dialog, IDC_SCALE, c.scale));
                      ASSERT_TRUE(UserTypeText(dialog, IDC_MAX_DISTANCE, c.distance));
                      ASSERT_TRUE(UserClick(dialog, IDOK));
                  }),
                  IDOK);
        EXPECT_EQ(state.scalePercent, c.percent);
        EXPECT_EQ(state.maxDistance, c.range);
    }
}

TEST_F(ObjectDialog, FixedScaleObjectsTakeTheirCodeOnOk) {
    state.scalePercent = 100;
    Run([](HWND dialog) {
        ASSERT_TRUE(UserChooseItem(dialog, IDC_GROUP_LIST, "Airport Objects"));
        ASSERT_TRUE(UserChooseItem(dialog, IDC_OBJECT_LIST, "Traffic cone"));
        EXPECT_EQ(ControlText(dialog, IDC_SCALE), "--");
        EXPECT_FALSE(UserTypeText(dialog, IDC_SCALE, "50")) << "the field is disabled";
        ASSERT_TRUE(UserClick(dialog, IDOK));
    });
    EXPECT_EQ(state.scalePercent, -5);
    EXPECT_EQ(state.objectIndex, 94);
    EXPECT_EQ(state.groupIndex, 3);
}

TEST_F(ObjectDialog, ChangingGroupSelectsItsAlphabeticallyFirstObject) {
    Run([this](HWND dialog) {
        ASSERT_TRUE(UserChooseItem(dialog, IDC_GROUP_LIST, "Humans"));
        EXPECT_EQ(ComboSelection(dialog, IDC_OBJECT_LIST), "Aircraft spotters");
        EXPECT_EQ(state.groupIndex, 9);
        EXPECT_EQ(platform::ComboItems(dialog, IDC_OBJECT_LIST).size(), 20u);
        ASSERT_TRUE(UserChooseItem(dialog, IDC_GROUP_LIST, "Aircraft"));
        EXPECT_EQ(ComboSelection(dialog, IDC_OBJECT_LIST), "B737 Air France");
        ASSERT_TRUE(UserChooseItem(dialog, IDC_GROUP_LIST, "Vegetation"));
        EXPECT_EQ(ComboSelection(dialog, IDC_OBJECT_LIST), "Tree  1");
    });
}

TEST_F(ObjectDialog, OpeningOnAShorterNameSelectsItselfNotALongerOne) {
    for (auto [group, entry, name] : {std::tuple{8, 248, "Port crane"}, std::tuple{3, 60, "Blast fence"},
                                      std::tuple{3, 89, "Radar shack"}}) {
        state.groupIndex = group;
        state.objectIndex = entry;
        ASSERT_STREQ(ObjectCatalog.entries[entry].name, name);
        Run([name = std::string(name)](HWND dialog) {
            EXPECT_EQ(ComboSelection(dialog, IDC_OBJECT_LIST), name);
        });
    }
}

TEST_F(ObjectDialog, HelpLeavesTheDialogAsItWas) {
    Run([this](HWND dialog) {
        auto before = platform::SnapshotDialog(dialog);
        ASSERT_TRUE(UserClick(dialog, IDC_HELP_BUTTON));
        EXPECT_FALSE(platform::DialogEnded(dialog));
        auto after = platform::SnapshotDialog(dialog);
        EXPECT_EQ(platform::FormatDialog(*before), platform::FormatDialog(*after));
        ASSERT_EQ(host.HelpRequests().size(), 1u);
        EXPECT_EQ(host.HelpRequests()[0].first, "QIRO\\TAVU\\TAVU.CHM");
        EXPECT_EQ(host.HelpRequests()[0].second, "/DlgObjProp.htm");
    });
}

TEST_F(ObjectDialog, CancelKeepsScaleAndRangeButNotTheListChoices) {
    state.scalePercent = 77;
    state.maxDistance = 777;
    INT_PTR result = Run([](HWND dialog) {
        ASSERT_TRUE(UserChooseItem(dialog, IDC_GROUP_LIST, "Ships"));
        ASSERT_TRUE(UserTypeText(dialog, IDC_MAX_DISTANCE, "5"));
        ASSERT_TRUE(UserClick(dialog, IDCANCEL));
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(state.groupIndex, 10);
    EXPECT_EQ(state.objectIndex, 0) << "the object list never wrote objectIndex";
    EXPECT_EQ(state.scalePercent, 77);
    EXPECT_EQ(state.maxDistance, 777u);
    EXPECT_EQ(platform::LiveBitmapCount(), 0);
}

TEST_F(ObjectDialog, OpensInEveryLanguage) {
    const struct {
        LANGID language;
        const char* caption;
        const char* add;
        const char* edit;
    } languages[] = {{platform::LANGUAGE_ENGLISH, "Orvanta: Object Properties", "ADDING A NEW OBJECT",
                      "OBJECT PROPERTIES"},
                     {platform::LANGUAGE_ITALIAN, "Orvanta: Proprietà dell'oggetto", "AGGIUNTA DI UN OGGETTO",
                      "PROPRIETÀ DELL'OGGETTO"},
                     {platform::LANGUAGE_GERMAN, "Orvanta: Objekteigenschaften", "NEUES OBJEKT HINZUFÜGEN",
                      "OBJEKTEIGENSCHAFTEN"}};
    for (const auto& l : languages) {
        platform::ForceLanguage(l.language);
        for (uint32_t editing : {0u, 1u}) {
            state.dialogEditsExisting = editing;
            Run([&](HWND dialog) {
                EXPECT_EQ(platform::DialogCaption(dialog), l.caption);
                EXPECT_EQ(ControlText(dialog, IDC_TITLE_LINE), editing ? l.edit : l.add);
            });
        }
    }
}

}  // namespace
