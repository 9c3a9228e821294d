# Developer entry points. Every target that needs the environment runs
# scripts/setup.sh first, which is quick once everything is in place.
VENV := $(CURDIR)/.venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
CXX_TEST_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(VENV)/bin/ninja -DPython_EXECUTABLE=$(PY) \
  -DVORNAK_BUILD_TESTS=ON -DVORNAK_WERROR=ON

.PHONY: setup build demo test test-cxx test-sanitize bench clean distclean

setup:
	bash scripts/setup.sh

build: setup

demo: setup
	$(PY) examples/demo.py

test: setup test-cxx
	$(PY) -m pytest -q

test-cxx: setup
	$(CMAKE) -S . -B build/cxx $(CXX_TEST_FLAGS)
	$(CMAKE) --build build/cxx
	$(CTEST) --test-dir build/cxx --output-on-failure --no-tests=error

# The C++ tests, then the Python tests against a sanitized build of the module.
test-sanitize: setup
	$(CMAKE) -S . -B build/cxx-asan $(CXX_TEST_FLAGS) -DVORNAK_SANITIZE=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/cxx-asan
	UBSAN_OPTIONS=print_stacktrace=1 \
	  $(CTEST) --test-dir build/cxx-asan --output-on-failure --no-tests=error
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/build/cxx-asan \
	  $(PY) -m pytest -q -p no:cacheprovider

bench: setup
	$(PY) bench/run.py

# Removes build products; keeps .venv (distclean removes that too).
clean:
	rm -rf build dist _skbuild .pytest_cache .hypothesis
	find . -name __pycache__ -type d -not -path './.venv/*' -prune -exec rm -rf {} +

distclean: clean
	rm -rf $(VENV)
