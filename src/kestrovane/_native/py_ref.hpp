// PyRef: sole owner of one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrovane {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null, e.g. straight from a failed call).
    static PyRef steal(PyObject* o) { return PyRef(o); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller (for returning or for stealing APIs).
    PyObject* release() {
        PyObject* o = obj_;
        obj_ = nullptr;
        return o;
    }

private:
    explicit PyRef(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the object.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    // Holds the lock again, briefly, inside a released stretch.
    class Reacquire {
    public:
        explicit Reacquire(GilRelease& released) : released_(released) {
            PyEval_RestoreThread(released_.state_);
        }
        ~Reacquire() { released_.state_ = PyEval_SaveThread(); }
        Reacquire(const Reacquire&) = delete;
        Reacquire& operator=(const Reacquire&) = delete;

    private:
        GilRelease& released_;
    };

private:
    PyThreadState* state_;
};

}  // namespace kestrovane
