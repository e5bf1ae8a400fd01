# The two commands of the README: `make demo` and `make test`.
.PHONY: all release test native-test dll check-dll package fuzz bench deps clean

all: release

deps:
	@tools/install-deps

release: deps
	cmake --preset release
	cmake --build --preset release

# The tour session in a fresh scenery folder; its transcript is the output.
# Only what the tour runs is built: tavu and the preview bitmaps.
.PHONY: demo
demo: deps
	cmake --preset release
	cmake --build --preset release --target tavu
	rm -rf build/demo
	build/release/tavu run examples/tour.session --sceneries build/demo/sceneries

# The DLL first: the native tests also load and check the real DLL.
native-test: deps dll
	cmake --preset test
	cmake --build --preset test
	ctest --preset test

dll: deps
	cmake --preset windows
	cmake --build --preset windows

check-dll: dll
	tools/check-dll build/windows/TAVUEdit.dll --rc resources/TAVUEdit.rc

# The release zip, build/package/TAVU-Editor-<version>-win32.zip: the DLL,
# the help file compiled from help/, the catalog's preview bitmaps drawn by
# the release build, and README.txt.
package: dll
	@tools/install-deps package
	cmake --preset release
	cmake --build --preset release --target tavu
	tools/package --dll build/windows/TAVUEdit.dll --native build/release

# Benchmarks of the release build; the table goes to docs/PERFORMANCE.md by
# hand, the raw results to build/bench/results.json.
bench: release
	mkdir -p build/bench
	build/release/tavu-bench --benchmark_out=build/bench/results.json --benchmark_out_format=json
	tools/bench-report build/bench/results.json

# A short run of every fuzz target; `fuzz/run SECONDS` runs them longer.
fuzz: deps
	fuzz/run 10

# Every stage of the suite, with the time each took printed at the end.
test:
	@tools/test-all

clean:
	rm -rf build
