# The two commands of the README: `make demo` and `make test`. Both install
# what they need first (tools/setup-deps).
.PHONY: all deps deps-windows native windows test test-native test-windows demo run bench clean

all: native

deps:
	tools/setup-deps native

deps-windows:
	tools/setup-deps native windows

native: deps
	cmake --preset native
	cmake --build --preset native

windows: deps-windows
	cmake --preset windows
	cmake --build --preset windows

test: test-native test-windows

test-native: native
	ctest --preset native

# The Windows programs run under Wine with a private X display (Xvfb), which
# the window tests need.
test-windows: windows
	tools/with-xvfb ctest --preset windows

demo: native
	tools/demo build/native build/demo

# Builds the Windows program and starts it under Wine with its own desktop.
run: windows
	tools/run-program

# Microbenchmarks of the engine; tools/bench-peers times the peers too.
bench:
	tools/setup-deps native bench
	cmake --preset bench
	cmake --build --preset bench
	tools/run-benchmarks build/bench

clean:
	rm -rf build
