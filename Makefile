# The two commands of the README: `make demo` and `make test`. Both install
# what they need first (tools/setup-deps).
.PHONY: all deps deps-windows native windows test test-native test-windows test-asan fuzz-build fuzz fuzz-smoke demo run bench clean

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

test: test-native test-windows test-asan fuzz-smoke

test-native: native
	ctest --preset native

# The Windows programs run under Wine with a private X display (Xvfb), which
# the window tests need.
test-windows: windows
	tools/with-xvfb ctest --preset windows

demo: native
	tools/demo build/native build/demo

# The engine's tests built with AddressSanitizer and UndefinedBehaviorSanitizer;
# any report fails them (the test preset's ASAN_OPTIONS and UBSAN_OPTIONS).
test-asan:
	tools/setup-deps native asan
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# Fuzz targets (fuzz/README.md): make fuzz runs each for FUZZ_SECONDS seconds,
# FUZZ_JOBS processes each; make test runs the whole load and the converter for
# a minute each, the decoder alone (thousands of inputs a second) for half one.
FUZZ_SECONDS ?= 300
FUZZ_JOBS ?= 1

fuzz-build:
	tools/setup-deps native fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz

fuzz: fuzz-build
	FUZZ_JOBS=$(FUZZ_JOBS) fuzz/run $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	FUZZ_JOBS=1 fuzz/run 60 load_fuzzer convert_fuzzer
	FUZZ_JOBS=1 fuzz/run 30 decode_fuzzer
	FUZZ_JOBS=1 fuzz/run 30 calibration_fuzzer
	FUZZ_JOBS=1 fuzz/run 30 demux_fuzzer

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
