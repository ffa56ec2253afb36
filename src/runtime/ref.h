// Ref: a move-only owner of one strong reference. Used for locals and results;
// object structs keep raw fields managed by traverse/clear/dealloc.
#pragma once

#include "runtime/python_api.h"

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = object_;
        object_ = other.object_;
        other.object_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* object) noexcept {
        Ref ref;
        ref.object_ = object;
        return ref;
    }
    // Takes a new reference to a borrowed pointer (may be null).
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return steal(object);
    }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller; the handle is empty afterwards.
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset() noexcept { Py_CLEAR(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};
