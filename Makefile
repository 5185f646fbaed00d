# The two commands a newcomer needs: `make demo` and `make test`.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DVELLARY_WERROR=ON
# Let ccache reuse objects built in another checkout of the same sources.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true
export CCACHE_MAXSIZE ?= 5G

.PHONY: setup build demo test test-asan fuzz-smoke bench format format-check ratio clean

setup:
	@bash scripts/setup

build: setup
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Builds a small disk image with deleted photos and opens it in the app (or, without a display,
# scans it with the command-line tool).
demo: build
	@rm -f $(BUILD)/demo.img
	@$(BUILD)/cli/vellary-cli demo-image $(BUILD)/demo.img
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
		$(BUILD)/app/vellary $(BUILD)/demo.img; \
	else \
		echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): scanning with vellary-cli instead."; \
		$(BUILD)/cli/vellary-cli scan $(BUILD)/demo.img; \
	fi

# Every test, then again under AddressSanitizer and UBSan, then each fuzz target briefly.
test: format-check build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory test-asan
	@$(MAKE) --no-print-directory fuzz-smoke

test-asan: setup
	@cmake -S . -B $(ASAN_BUILD) -G Ninja $(CMAKE_FLAGS) -DVELLARY_SANITIZE=ON -DVELLARY_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS) -E QtTest
	@# Qt, Mesa and FFmpeg keep allocations for the whole process: the app's tests run under
	@# ASan and UBSan without the leak check, which the engine's tests keep.
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS) -R QtTest

fuzz-smoke: setup
	@bash scripts/fuzz 20

bench: build
	@BUILD=$(BUILD) bash bench/run

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

format-check: setup
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror

# Non-blank lines of tests against the code they test (C++ and QML).
ratio:
	@t=$$(git ls-files 'tests/*.cpp' 'tests/*.hpp' 'tests/*.qml' | xargs cat | grep -cv '^\s*$$'); \
	c=$$(git ls-files 'core/*.cpp' 'core/*.hpp' 'cli/*.cpp' 'cli/*.hpp' 'app/*.cpp' 'app/*.hpp' 'app/*.qml' | xargs cat | grep -cv '^\s*$$'); \
	awk -v t=$$t -v c=$$c 'BEGIN { printf "tests %d / code %d = %.2f\n", t, c, t / c }'

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
