# `make demo` and `make test` each do the whole set-up: a virtual environment
# from Python 3.12 (pyenv's, else python3.12 on PATH), build and install.
SHELL := /bin/bash
PYTHON312 ?= $(shell p=$$(pyenv prefix 3.12 2>/dev/null) && echo $$p/bin/python3.12 || command -v python3.12)
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_TYPE ?= Release

.PHONY: install demo test test-cpp test-py bench clean

$(PY):
	$(PYTHON312) -m venv $(VENV)

install: $(PY)
	$(PY) -m pip install -q --disable-pip-version-check "numpy>=1.23" "pytest>=7"
	$(PY) -m pip install -q --disable-pip-version-check .

demo: install
	$(PY) -m kestrovane.demo

# Header-only numeric code, tested without Python.
test-cpp:
	cmake -S tests/cpp -B build/cpp-tests -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DKESTROVANE_SANITIZE=$(or $(KESTROVANE_SANITIZE),OFF) > /dev/null
	cmake --build build/cpp-tests -j 2 > /dev/null
	ctest --test-dir build/cpp-tests --output-on-failure

test-py: install
	cd tests && ../$(PY) -m pytest -q

test: test-cpp test-py

bench: install
	$(PY) benchmarks/bench_rating.py

clean:
	rm -rf build $(VENV)
