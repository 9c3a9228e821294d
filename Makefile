# Developer entry points. Every target that needs the environment runs
# scripts/setup.sh first, which is quick once everything is in place.
VENV := $(CURDIR)/.venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
CXX_TEST_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(VENV)/bin/ninja -DPython_EXECUTABLE=$(PY) \
  -DVORNAK_BUILD_TESTS=ON -DVORNAK_WERROR=ON

.PHONY: setup build demo docs test test-cxx test-clang test-sanitize test-interpreters fuzz coverage stubtest wheel-check dist bench bench-smoke bench-qiskit bench-fidelity clean distclean

setup:
	bash scripts/setup.sh

build: setup

# The Qiskit pass on a device snapshot (the README's example, a simulated fidelity comparison
# with Qiskit's own DD on one circuit, their times), then the core module's demo.
demo: setup
	$(PY) examples/qiskit_demo.py
	$(PY) examples/demo.py

# The documentation site, from docs/ into build/docs/html, warnings as errors. The API pages
# come from the docstrings of the package installed in .venv (so on CPython 3.14, where
# _vornak is built), which Sphinx does not track: -E reads every page afresh.
docs: setup
	$(PY) -m sphinx -E -W --keep-going -q -b html docs build/docs/html
	@echo "docs: build/docs/html/index.html"

# On an interpreter other than CPython 3.14 (VORNAK_PYTHON), where _vornak is not built, the
# tests of _vornak, its benchmark and its stub check are left out.
HAS_CORE = $(PY) -c 'import _vornak' 2>/dev/null
test: setup test-cxx
	$(PY) -m pytest -q
	if $(HAS_CORE); then $(PY) bench/run.py --smoke >/dev/null; fi
	$(PY) bench/qiskit_pass.py --smoke >/dev/null
	if $(HAS_CORE); then $(STUBTEST); fi

test-cxx: setup
	$(CMAKE) -S . -B build/cxx $(CXX_TEST_FLAGS)
	$(CMAKE) --build build/cxx
	$(CTEST) --test-dir build/cxx --output-on-failure --no-tests=error

# The installed type stubs (the package _vornak-stubs in .venv) against the
# installed module. stubtest passes a private module whose stubs it cannot find,
# so mypy must first show that it finds them.
MYPY_ENV := MYPY_CACHE_DIR=$(CURDIR)/build/mypy-cache
STUBTEST = $(MYPY_ENV) $(PY) -m mypy -c 'import _vornak' && $(MYPY_ENV) $(PY) -m mypy.stubtest _vornak
stubtest: setup
	$(STUBTEST)

# The interpreters whose wheels dist and wheel-check build: .venv's CPython 3.14, Debian's
# python3.11 when installed, and CPython 3.13 from Debian 13 (scripts/python-from-debian.sh
# unpacks it into ~/.cache once). INTERPRETERS=... to choose others.
INTERPRETERS ?= $(shell bash scripts/interpreters.sh)

# Builds the sdist and from it a wheel for each interpreter, makes each a manylinux2014 one
# with auditwheel, installs each into a fresh venv and tests it there (needs PyPI for the
# isolated builds).
wheel-check: setup
	bash scripts/wheel-check.sh $(INTERPRETERS)

# The same, then leaves what passed in dist/: the sdist and every repaired wheel, to upload.
dist: setup
	rm -rf dist
	DIST=$(CURDIR)/dist bash scripts/wheel-check.sh $(INTERPRETERS)

# The whole tree built with clang (Debian's: apt-get install clang), warnings as errors, then
# both test suites against that build.
test-clang: setup
	$(CMAKE) -S . -B build/clang $(CXX_TEST_FLAGS) -DCMAKE_CXX_COMPILER=clang++
	$(CMAKE) --build build/clang
	$(CTEST) --test-dir build/clang --output-on-failure --no-tests=error
	PYTHONPATH=$(CURDIR)/build/clang $(PY) -m pytest -q -p no:cacheprovider

# The wheels of Debian 12's CPython 3.11 (apt-get install python3.11 python3.11-dev
# python3.11-venv), of a CPython 3.13 from Debian 13 and of the CPython 3.14 of .venv, each
# checked as wheel-check checks one, installed into a fresh venv with Qiskit and run there:
# the README's Qiskit example and the Qiskit pass's tests (QISKIT_TESTS).
# The 3.13 wheel is built with clang here: the sdist builds with either compiler.
test-interpreters: setup
	QISKIT_TESTS=1 bash scripts/wheel-check.sh $(shell bash scripts/interpreters.sh --clang)

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

# Random call sequences, valid and hostile, against the model in tests/core/graph_model.py for
# FUZZ_SECONDS, on the sanitized build of the module.
FUZZ_SECONDS ?= 900
fuzz: setup
	$(CMAKE) -S . -B build/cxx-asan $(CXX_TEST_FLAGS) -DVORNAK_SANITIZE=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/cxx-asan --target _vornak
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/build/cxx-asan \
	  VORNAK_FUZZ_SECONDS=$(FUZZ_SECONDS) $(PY) -m pytest -q -s -p no:cacheprovider tests/core/test_model.py -k fuzz

# Line coverage of src/ by the C++ and the Python tests, from a build instrumented for gcov
# in build/cov (gcovr comes from PyPI); the listing of every line is build/cov/coverage.txt.
coverage: setup
	$(PY) -c 'import gcovr' 2>/dev/null || $(PY) -m pip install -q gcovr
	$(CMAKE) -S . -B build/cov $(CXX_TEST_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage \
	  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_MODULE_LINKER_FLAGS=--coverage
	$(CMAKE) --build build/cov
	find build/cov -name '*.gcda' -delete
	$(CTEST) --test-dir build/cov --output-on-failure --no-tests=error
	PYTHONPATH=$(CURDIR)/build/cov $(PY) -m pytest -q -p no:cacheprovider
	$(PY) -m gcovr --root . --filter 'src/' --exclude '.*\.test\.cc$$' --txt build/cov/coverage.txt \
	  --print-summary build/cov

# The benchmark suite; writes bench/results.md and bench/results.png. BENCH_FLAGS=--huge
# adds 10^7 gates.
bench: setup
	$(PY) bench/run.py $(BENCH_FLAGS)

# The suite at 10^4 gates only: checks that it runs, times nothing worth keeping.
bench-smoke: setup
	$(PY) bench/run.py --smoke

# vornak.qiskit.DynamicalDecoupling against Qiskit's own DD (PassManager end to end, a floor,
# a breakdown of our time, peak memory) on the heavy-hex workload at 10^4-10^6 gates and on
# mqt.bench's QFT-50 and QAOA-30 for FakeSherbrooke (needs qiskit-ibm-runtime and mqt.bench);
# writes bench/qiskit_results.md. BENCH_QISKIT_FLAGS=--smoke: small circuits, no files.
bench-qiskit: setup
	$(PY) bench/qiskit_pass.py $(BENCH_QISKIT_FLAGS)

# Simulated fidelity of circuits padded by each DD strategy (no DD, Qiskit's passes, ours with
# its options) on FakeSherbrooke and FakeTorino, under quasi-static detuning and static ZZ, then
# also T1/T2 and pulse errors (noise model in bench/fidelity.py); writes
# bench/fidelity_results.md and docs/fidelity.png. BENCH_FIDELITY_FLAGS=--quick: 2 circuits,
# 20 realisations, no files.
bench-fidelity: setup
	$(PY) bench/fidelity.py $(BENCH_FIDELITY_FLAGS)

# Removes build products; keeps .venv (distclean removes that too).
clean:
	rm -rf build dist _skbuild .pytest_cache .hypothesis
	find . -name __pycache__ -type d -not -path './.venv/*' -prune -exec rm -rf {} +

distclean: clean
	rm -rf $(VENV)
