# The two commands of the README: `make demo` and `make test`.
.PHONY: all release test native-test dll check-dll deps clean

all: release

deps:
	@tools/install-deps

release: deps
	cmake --preset release
	cmake --build --preset release

native-test: deps
	cmake --preset test
	cmake --build --preset test
	ctest --preset test

dll: deps
	cmake --preset windows
	cmake --build --preset windows

check-dll: dll
	tools/check-dll build/windows/TAVUEdit.dll --rc resources/TAVUEdit.rc

test: native-test check-dll

clean:
	rm -rf build
