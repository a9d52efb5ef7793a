# Two entry points: `make test` installs what the tests need, builds and runs every test suite;
# `make demo` runs the tool's main job on a built-in sample.
.PHONY: test demo deps default asan tsan clean

test: deps
	cmake --workflow --preset default
	cmake --workflow --preset asan

deps:
	bash scripts/install-deps.sh

default asan tsan: deps
	cmake --workflow --preset $@

# The demo installs what it needs itself (scripts/demo.sh).
demo:
	bash scripts/demo.sh

clean:
	rm -rf build
