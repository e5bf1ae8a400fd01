// tavu catalog: the built-in object catalog as a table or as JSON.
#include <string.h>

#include <iostream>

#include "catalog/catalog.h"
#include "catalog/catalog_names.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"
#include "tools/tavu/text_table.h"

namespace tavu {

namespace {

template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

std::string GroupNames() {
    std::string names;
    for (int g = 0; g < ObjectCatalog.groupCount; ++g) {
        names += "  " + FieldText(ObjectCatalog.groups[g].name) + "\n";
    }
    return names;
}

void PrintTable(int groupIndex, std::ostream& out) {
    TextTable table;
    table.AddColumn("#", TextTable::Align::Right);
    table.AddColumn("group");
    table.AddColumn("name");
    table.AddColumn("key");
    table.AddColumn("default scale");
    table.AddColumn("range", TextTable::Align::Right);
    table.AddColumn("size", TextTable::Align::Right);
    table.AddColumn("bitmap");
    int rows = 0;
    for (int i = 0; i < ObjectCatalog.entryCount; ++i) {
        const CatalogEntry& entry = ObjectCatalog.entries[i];
        int group = FindGroupByKey(entry.groupKey);
        if (groupIndex >= 0 && group != groupIndex) {
            continue;
        }
        table.AddRow({std::to_string(i), group >= 0 ? FieldText(ObjectCatalog.groups[group].name) : "?",
                      FieldText(entry.name), KeyHex(entry.objectKey), DefaultScaleText(entry.defaultScale),
                      std::to_string(entry.defaultMaxDistance) + " m", std::to_string(entry.size),
                      FieldText(entry.bitmap)});
        ++rows;
    }
    table.Print(out);
    out << rows << (rows == 1 ? " object" : " objects");
    if (groupIndex < 0) {
        out << " in " << ObjectCatalog.groupCount << " groups";
    }
    out << '\n';
}

}  // namespace

nlohmann::ordered_json CatalogJson(int groupIndex) {
    nlohmann::ordered_json groups = nlohmann::ordered_json::array();
    for (int g = 0; g < ObjectCatalog.groupCount; ++g) {
        if (groupIndex >= 0 && g != groupIndex) {
            continue;
        }
        const CatalogGroup& group = ObjectCatalog.groups[g];
        groups.push_back({{"index", g},
                          {"key", group.key},
                          {"first", group.first},
                          {"last", group.last},
                          {"name", FieldText(group.name)}});
    }
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    for (int i = 0; i < ObjectCatalog.entryCount; ++i) {
        const CatalogEntry& entry = ObjectCatalog.entries[i];
        if (groupIndex >= 0 && FindGroupByKey(entry.groupKey) != groupIndex) {
            continue;
        }
        entries.push_back({{"index", i},
                           {"groupKey", entry.groupKey},
                           {"objectKey", KeyHex(entry.objectKey)},
                           {"defaultScale", entry.defaultScale},
                           {"defaultMaxDistance", entry.defaultMaxDistance},
                           {"tag", entry.tag},
                           {"size", entry.size},
                           {"name", FieldText(entry.name)},
                           {"bitmap", FieldText(entry.bitmap)}});
    }
    return {{"groups", std::move(groups)}, {"entries", std::move(entries)}};
}

int RunCatalog(const CatalogOptions& options, std::ostream& out, std::ostream& err) {
    int groupIndex = -1;
    if (!options.group.empty()) {
        catalog_names::NameMatch match = catalog_names::MatchGroup(options.group);
        groupIndex = match.index;
        if (groupIndex < 0) {
            err << "tavu catalog: no group named \"" << options.group << "\""
                << catalog_names::DidYouMean(match) << "\nthe groups are:\n"
                << GroupNames();
            return EXIT_USAGE;
        }
    }
    if (options.json) {
        out << CatalogJson(groupIndex).dump(2) << '\n';
    } else {
        PrintTable(groupIndex, out);
    }
    return EXIT_OK;
}

void AddCatalogCommand(CLI::App& app) {
    auto options = std::make_shared<CatalogOptions>();
    auto* command = app.add_subcommand("catalog", "List the built-in object catalog");
    command->add_option("--group", options->group,
                        "Only this group (its name; case and runs of spaces do not count)");
    command->add_flag("--json", options->json, "Print JSON instead of a table");
    command->footer("Exit codes: 0 listed, 2 unknown group or bad arguments.\n");
    command->callback([options] { ExitStatus() = RunCatalog(*options, std::cout, std::cerr); });
}

}  // namespace tavu
