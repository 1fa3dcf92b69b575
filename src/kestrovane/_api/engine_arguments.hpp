// The engine's arguments: each bound declared once, read in order by one
// reader.  The checks of _engine's functions and the module's BOUNDS and
// code names, which kestrovane._api.parameters builds its declarations on,
// come from these records, so a bound changes here and nowhere else.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/interface/conversion.hpp"
#include "kestrovane/selection_core/kernels/numeric/thread_shares.hpp"

namespace kestrovane::engine {

// An integer argument.  `names` lists the values of a coded option in code
// order (nullptr-terminated); then it is refused as "must be 0 or 1".
struct IntBound {
    const char* name;
    std::int64_t low;
    std::uint64_t high;
    const char* high_text = nullptr;  // how messages write `high`, e.g. "2**31 - 1"
    const char* const* names = nullptr;
};

// A real argument from `low` to `high`; an open end excludes its value.
struct RealBound {
    const char* name;
    double low, high;
    bool low_open, high_open;
};

inline constexpr const char* kModeNames[] = {"values", "ranks", nullptr};
inline constexpr const char* kQuantilesNames[] = {"exact", "p2", "auto", nullptr};
inline constexpr const char* kTiesNames[] = {"index", "random", nullptr};

inline constexpr IntBound kNSamples{"n_samples", 1, INT32_MAX, "2**31 - 1"};
inline constexpr IntBound kSeed{"seed", 0, UINT64_MAX};
inline constexpr IntBound kQuantilesBudget{"quantiles_budget", INT64_MIN, INT64_MAX};
inline constexpr IntBound kThreads{"threads", 1, mc::kMaxThreads};
inline constexpr IntBound kMode{"mode_i", 0, 1, nullptr, kModeNames};
inline constexpr IntBound kQuantilesMode{"quantiles_mode_i", 0, 2, nullptr, kQuantilesNames};
inline constexpr IntBound kTies{"ties_i", 0, 1, nullptr, kTiesNames};
// Members of a population (rows of an int32-indexed rating).
inline constexpr IntBound kMembers{"n", 0, INT32_MAX, "2**31 - 1"};
inline constexpr RealBound kPercentile{"percentile", 0.0, 1.0, true, false};
// Seconds between two checkpoints of the pacer: finite and > 0.
inline constexpr RealBound kInterval{"interval", 0.0, std::numeric_limits<double>::infinity(),
                                     true, true};

// What a bound allows, as its messages say: "1 .. 64", "0, 1 or 2", "(0, 1]".
inline std::string allowed(const IntBound& b) {
    if (b.names) {
        std::string out;
        for (std::int64_t v = b.low; v <= static_cast<std::int64_t>(b.high); ++v)
            out += (out.empty() ? "" : v == static_cast<std::int64_t>(b.high) ? " or " : ", ") +
                   std::to_string(v);
        return out;
    }
    return "in " + std::to_string(b.low) + " .. " +
           (b.high_text ? std::string(b.high_text) : std::to_string(b.high));
}

inline std::string allowed(const RealBound& b) {
    auto text = [](double x) {
        std::string s = std::to_string(x);
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.') s.pop_back();
        return s;
    };
    if (b.low_open && b.high_open && std::isinf(b.high)) return "finite and > " + text(b.low);
    return std::string("in ") + (b.low_open ? "(" : "[") + text(b.low) + ", " + text(b.high) +
           (b.high_open ? ")" : "]");
}

template <typename T>
bool inside(const IntBound& b, T v) {
    if constexpr (std::is_signed_v<T>)
        return v >= b.low && (v < 0 || static_cast<std::uint64_t>(v) <= b.high);
    else
        return (b.low <= 0 || v >= static_cast<std::uint64_t>(b.low)) && v <= b.high;
}

inline bool inside(const RealBound& b, double x) {  // false for NaN
    const bool above = b.low_open ? x > b.low : x >= b.low;
    const bool below = b.high_open ? x < b.high : x <= b.high;
    return above && below;
}

// Reads a METH_FASTCALL call's positional arguments in order, converting and
// checking each against its bound; the first failure raises and every later
// read returns false.
class ArgumentReader {
public:
    ArgumentReader(const char* function, PyObject* const* args, Py_ssize_t nargs,
                   Py_ssize_t expected)
        : args_(args), ok_(nargs == expected) {
        if (!ok_)
            PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", function,
                         expected, nargs);
    }

    bool ok() const { return ok_; }

    // An object passed through unchecked (the population's arrays).
    PyObject* object() { return ok_ ? args_[next_++] : nullptr; }

    // T is the argument's machine type: int32_t, int64_t or uint64_t.
    template <typename T>
    T integer(const IntBound& b) {
        if (!ok_) return T{};
        T v{};
        PyObject* o = args_[next_++];
        if constexpr (std::is_same_v<T, std::uint64_t>)
            ok_ = mc::to_uint64(o, &v);
        else if constexpr (std::is_same_v<T, std::int64_t>)
            ok_ = mc::to_int64(o, &v);
        else
            ok_ = mc::to_int32(o, &v);
        if (ok_ && !inside(b, v)) {
            PyErr_Format(PyExc_ValueError, "%s must be %s; got %s", b.name, allowed(b).c_str(),
                         std::to_string(v).c_str());
            ok_ = false;
        }
        return v;
    }

    double real(const RealBound& b) {
        if (!ok_) return 0.0;
        PyObject* o = args_[next_++];
        double v = 0.0;
        ok_ = mc::to_double(o, &v);
        if (ok_ && !inside(b, v)) {
            PyErr_Format(PyExc_ValueError, "%s must be %s; got %R", b.name, allowed(b).c_str(),
                         o);
            ok_ = false;
        }
        return v;
    }

    PyObject* callable_or_none(const char* name) {
        if (!ok_) return nullptr;
        PyObject* o = args_[next_++];
        if (o != Py_None && !PyCallable_Check(o)) {
            PyErr_Format(PyExc_TypeError, "%s must be callable or None", name);
            ok_ = false;
        }
        return o;
    }

private:
    PyObject* const* args_;
    Py_ssize_t next_ = 0;
    bool ok_;
};

// The bounds as module constants: BOUNDS maps each public argument to
// (low, high, low_open, high_open), and MODES, QUANTILES and TIES name the
// codes of the coded options in code order.
inline bool add_bounds(PyObject* module) {
    PyRef bounds = PyRef::steal(PyDict_New());
    if (!bounds) return false;
    for (const IntBound* b : {&kNSamples, &kSeed, &kQuantilesBudget, &kThreads}) {
        PyRef entry = PyRef::steal(Py_BuildValue("(LKOO)", static_cast<long long>(b->low),
                                                 static_cast<unsigned long long>(b->high),
                                                 Py_False, Py_False));
        if (!entry || PyDict_SetItemString(bounds.get(), b->name, entry.get()) < 0) return false;
    }
    PyRef percentile = PyRef::steal(Py_BuildValue("(ddOO)", kPercentile.low, kPercentile.high,
                                                  kPercentile.low_open ? Py_True : Py_False,
                                                  kPercentile.high_open ? Py_True : Py_False));
    if (!percentile || PyDict_SetItemString(bounds.get(), kPercentile.name, percentile.get()) < 0 ||
        PyModule_AddObjectRef(module, "BOUNDS", bounds.get()) < 0)
        return false;
    const struct {
        const char* constant;
        const char* const* names;
    } coded[] = {{"MODES", kModeNames}, {"QUANTILES", kQuantilesNames}, {"TIES", kTiesNames}};
    for (const auto& c : coded) {
        PyRef names = PyRef::steal(PyList_New(0));
        for (const char* const* n = c.names; names && *n; ++n) {
            PyRef s = PyRef::steal(PyUnicode_InternFromString(*n));
            if (!s || PyList_Append(names.get(), s.get()) < 0) return false;
        }
        PyRef t = names ? PyRef::steal(PyList_AsTuple(names.get())) : PyRef();
        if (!t || PyModule_AddObjectRef(module, c.constant, t.get()) < 0) return false;
    }
    return true;
}

}  // namespace kestrovane::engine
