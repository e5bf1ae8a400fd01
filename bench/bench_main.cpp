// The benchmarks' entry; `tavu-bench --write-scenery COUNT PATH` instead
// writes the generated scenery of COUNT objects to PATH, for measuring the
// file tools by hand on files of any size up to the tools' 64 MiB.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "bench/generated_scenery.h"

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--write-scenery") == 0) {
        size_t count = std::stoul(argv[2]);
        if (!bench::WriteGeneratedScenery(argv[3], count)) {
            fprintf(stderr, "%s: cannot write\n", argv[3]);
            return 1;
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
